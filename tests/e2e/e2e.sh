#!/usr/bin/env bash
# End to end: the real program in a real X server (Xvfb), driven by xdotool like a person.
#   e2e.sh PROGRAM OUTDIR
# Starts with HOME in a temporary folder, waits for the readiness marker, searches by
# typing into the focused field and pressing Return, then Ctrl+A, Ctrl+C (checked on the
# X clipboard with xclip), Ctrl+D (checked on the Desktop), exports the list through the
# real save dialog, and quits with Ctrl+Q. Leaves a screenshot in OUTDIR.
set -euo pipefail
program=$1
outdir=$2
work=$(mktemp -d /tmp/qingluan-e2e-XXXXXX)
cleanup() {
    [ -n "${app_pid:-}" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "e2e: $*" >&2; exit 1; }

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
    local tenths=$1; shift
    for _ in $(seq "$tenths"); do
        if "$@"; then return 0; fi
        sleep 0.1
    done
    return 1
}

home=$work/home
mkdir -p "$home/Music/Live Sets" "$home/Desktop"
for n in "qlprobe one.mp3" "Qlprobe 二.flac" "qlprobe three.wav"; do
    head -c 2048 /dev/urandom > "$home/Music/Live Sets/$n"
done
head -c 10 /dev/urandom > "$home/Music/other.mp3"

exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
exec 3>&-
wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"

marker=$home/.local/share/QingLuanXunQu/ui_ready.txt
start=$(date +%s%N)
env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u XDG_DATA_DIRS -u DBUS_SESSION_BUS_ADDRESS -u QT_QPA_PLATFORM \
    HOME="$home" "$program" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for 200 test -s "$marker" || fail "no readiness marker after 20 s"
ready_ms=$(( ($(date +%s%N) - start) / 1000000 ))
grep -Eq '^ui_ready [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \+0000$' "$marker" || fail "bad marker: $(cat "$marker")"
echo "e2e: start-up to readiness marker: ${ready_ms} ms"
sleep 0.5

# The keyword field has the focus: type, press Return.
xdotool type --delay 30 "qlprobe"
xdotool key Return

expected=$(printf '%s\n' "$home/Music/Live Sets/Qlprobe 二.flac" "$home/Music/Live Sets/qlprobe one.mp3" \
    "$home/Music/Live Sets/qlprobe three.wav" | sort)
clipboard_matches() {
    xdotool key ctrl+a ctrl+c
    sleep 0.2
    [ "$(xclip -o -selection clipboard 2>/dev/null | sort)" = "$expected" ]
}
wait_for 300 clipboard_matches || fail "the clipboard never held the three paths: $(xclip -o -selection clipboard 2>&1)"
echo "e2e: search, Ctrl+A and Ctrl+C: the three paths are on the clipboard"
import -window root "$outdir/e2e-window.png" 2>/dev/null || echo "e2e: no screenshot (ImageMagick missing)"

xdotool key ctrl+d
desktop_has_three() { [ "$(ls "$home/Desktop" | wc -l)" = 3 ]; }
wait_for 100 desktop_has_three || fail "Ctrl+D did not copy three files: $(ls "$home/Desktop")"
cmp -s "$home/Desktop/qlprobe one.mp3" "$home/Music/Live Sets/qlprobe one.mp3" || fail "the Desktop copy differs"
echo "e2e: Ctrl+D copied the three files to the Desktop"

# The export button precedes the keyword field in the focus chain.
xdotool key shift+Tab space
wait_for 100 xdotool search --name "导出搜索结果清单" >/dev/null || fail "no save dialog"
sleep 0.5
list=$work/list.txt
xdotool key ctrl+a
xdotool type --delay 20 "$list"
xdotool key Return
wait_for 100 test -s "$list" || fail "the list was not written"
[ "$(sed -n 1p "$list")" = "青鸾寻曲 搜索结果清单" ] || fail "bad first line"
sed -n 3p "$list" | grep -q "^关键词：qlprobe　类型：全部类型　共 3 个$" || fail "bad third line: $(sed -n 3p "$list")"
[ "$(tail -n +6 "$list" | cut -f3 | sort)" = "$expected" ] || fail "bad hit lines"
echo "e2e: the exported list has the header and the three hits"

# There is no window manager to hand the focus back after the dialog: give it back.
window=$(xdotool search --onlyvisible --name '^青鸾寻曲$' | head -n1)
xdotool windowfocus --sync "$window"
xdotool key ctrl+q
wait_for 50 bash -c "! kill -0 $app_pid 2>/dev/null" || fail "Ctrl+Q did not end the program"
app_pid=
echo "1 passed, 0 failed"
