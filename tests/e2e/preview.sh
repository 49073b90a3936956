#!/usr/bin/env bash
# End to end: a search, a row selected in the table, Space plays it (the status line shows
# the name and a running time), Escape stops it (the status line shows the selection).
# Runs with an audio server of its own, so that the program really plays.
if [ -z "${QL_E2E_AUDIO:-}" ]; then
    QL_E2E_AUDIO=1 exec bash "$(dirname "$0")/../support/with-null-sink.sh" bash "$0" "$@"
fi
source "$(dirname "$0")/lib.sh"

# read_status moves the pointer onto the status line with --sync, which waits long when
# the pointer is there already: each read here starts elsewhere.
status_text() { xdotool mousemove 0 0; read_status; }

# 30 seconds of silence: an 8 kHz, 8-bit mono WAV.
le32() { printf "$(printf '\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
# The name is new on every run: another run's file elsewhere under /tmp is not found.
token=qlpreview$RANDOM$RANDOM
tune="$home/Music/试听 $token.wav"
bytes=240000
{
    printf 'RIFF'; le32 $((36 + bytes)); printf 'WAVEfmt '; le32 16
    printf '\x01\x00\x01\x00'; le32 8000; le32 8000; printf '\x01\x00\x08\x00'
    printf 'data'; le32 $bytes
    head -c $bytes /dev/zero | tr '\0' '\200'
} > "$tune"

start_xvfb
start_app
xdotool type --delay 30 "$token"
xdotool key Return
found_one() { [[ "$(status_text)" == "完成：找到 1 个文件"* ]]; }
wait_for 150 found_one || fail "the search did not end with one hit: $(status_text)"

# A click into the table gives it the focus; Ctrl+A selects the one row.
window=$(xdotool search --onlyvisible --name '^青鸾寻曲$' | head -n1)
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove --sync $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
xdotool key ctrl+a space

playing="^正在试听：试听 $token\\.wav　0:([0-9][0-9]) / 0:30（空格停止）\$"
position() { [[ "$(status_text)" =~ $playing ]] && echo "${BASH_REMATCH[1]}"; }
wait_for 100 position >/dev/null || fail "Space did not start the preview: $(status_text)"
first=$(position)
sleep 2
second=$(position) || fail "the preview stopped by itself: $(status_text)"
[ "$((10#$second))" -gt "$((10#$first))" ] || fail "the time did not run: 0:$first, then 0:$second"
echo "e2e: Space plays the selected row; the status line went from 0:$first to 0:$second of 0:30"

xdotool key Escape
summary="^试听 $token\\.wav · .* · $tune"
shows_selection() { [[ "$(status_text)" =~ $summary ]]; }
wait_for 50 shows_selection || fail "Escape did not stop the preview: $(status_text)"
echo "e2e: Escape stops it and the status line shows the selection again"

quit_app
echo "1 passed, 0 failed"
