#!/usr/bin/env bash
# End to end: a search, a row selected in the table, Space plays it (the status line shows
# the name and a running time), Escape stops it (the status line shows the selection).
# Runs with an audio server of its own, so that the program really plays.
if [ -z "${QL_E2E_AUDIO:-}" ]; then
    QL_E2E_AUDIO=1 exec bash "$(dirname "$0")/../support/with-null-sink.sh" bash "$0" "$@"
fi
source "$(dirname "$0")/lib.sh"

# 30 seconds of silence, named anew on every run: another run's file elsewhere under /tmp
# is not found.
token=qlpreview$RANDOM$RANDOM
tune="$home/Music/试听 $token.flac"
head -c 240000 /dev/zero | flac -s --force-raw-format --endian=little --sign=signed --channels=1 --bps=8 \
    --sample-rate=8000 -o "$tune" -

start_xvfb
start_app
xdotool type --delay 30 "$token"
xdotool key Return
found_one() { [[ "$(read_status)" == "完成：找到 1 个文件"* ]]; }
wait_for 150 found_one || fail "the search did not end with one hit: $(read_status)"

# A click into the table gives it the focus; Ctrl+A selects the one row.
window_geometry
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1 key ctrl+a space
playing="^正在试听：试听 $token\\.flac　0:([0-9][0-9]) / 0:30（空格停止）\$"
position() { [[ "$(read_status)" =~ $playing ]] && echo "${BASH_REMATCH[1]}"; }
wait_for 100 position >/dev/null || fail "Space did not start the preview: $(read_status)"
first=$(position)
sleep 1.5
second=$(position) || fail "the preview stopped by itself: $(read_status)"
[ "$((10#$second))" -gt "$((10#$first))" ] || fail "the time did not run: 0:$first, then 0:$second"
echo "e2e: Space plays the selected row; the status line went from 0:$first to 0:$second of 0:30"

xdotool key Escape
summary="^试听 $token\\.flac · .* · $tune\$"
shows_selection() { [[ "$(read_status)" =~ $summary ]]; }
wait_for 50 shows_selection || fail "Escape did not stop the preview: $(read_status)"
echo "e2e: Escape stops it and the status line shows the selection again"
quit_app
echo "1 passed, 0 failed"
