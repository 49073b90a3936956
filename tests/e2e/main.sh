#!/usr/bin/env bash
# End to end: searching by typing into the focused field and pressing Return, then
# Ctrl+A, Ctrl+C (checked on the X clipboard with xclip), Ctrl+D (checked on the
# Desktop), exporting the list through the real save dialog, and Ctrl+Q. Leaves a
# screenshot in OUTDIR.
source "$(dirname "$0")/lib.sh"

# The search covers /, and so the homes of other runs under /tmp: the probe's name is this
# run's own.
probe=qlprobe$(date +%N)
mkdir -p "$home/Music/Live Sets"
for n in "$probe one.mp3" "Q${probe#q} 二.flac" "$probe three.wav"; do
    head -c 2048 /dev/urandom > "$home/Music/Live Sets/$n"
done
head -c 10 /dev/urandom > "$home/Music/other.mp3"

start_xvfb
start=$(date +%s%N)
start_app
ready_ms=$(( ($(date +%s%N) - start) / 1000000 ))
grep -Eq '^ui_ready [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \+0000$' "$marker" || fail "bad marker: $(cat "$marker")"
echo "e2e: start-up to readiness marker: ${ready_ms} ms"

# The keyword field has the focus: type, press Return.
xdotool type --delay 30 "$probe"
xdotool key Return

expected=$(printf '%s\n' "$home/Music/Live Sets/Q${probe#q} 二.flac" "$home/Music/Live Sets/$probe one.mp3" \
    "$home/Music/Live Sets/$probe three.wav" | sort)
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
cmp -s "$home/Desktop/$probe one.mp3" "$home/Music/Live Sets/$probe one.mp3" || fail "the Desktop copy differs"
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
sed -n 3p "$list" | grep -q "^关键词：$probe　类型：全部类型　共 3 个$" || fail "bad third line: $(sed -n 3p "$list")"
[ "$(tail -n +6 "$list" | cut -f3 | sort)" = "$expected" ] || fail "bad hit lines"
echo "e2e: the exported list has the header and the three hits"

quit_app
echo "1 passed, 0 failed"
