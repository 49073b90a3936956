#!/usr/bin/env bash
# End to end: searching by typing into the focused field and pressing Return, then
# Ctrl+A, Ctrl+C (checked on the X clipboard with xclip), Ctrl+D (checked on the
# Desktop), exporting the list through the real save dialog, and Ctrl+Q. Leaves
# screenshots of the window and of the save dialog in OUTDIR.
source "$(dirname "$0")/lib.sh"

# A keyword of this run alone: the search covers every disk, other runs' files included.
probe=qlprobe$$
hits=("$home/Music/Live Sets/"{"$probe one.mp3","Q${probe#q} 二.flac","$probe three.wav"})
mkdir -p "$home/Music/Live Sets"
for f in "${hits[@]}"; do head -c 2048 /dev/urandom > "$f"; done
head -c 10 /dev/urandom > "$home/Music/other.mp3"

start_xvfb
start_app

# The keyword field has the focus: type, press Return.
xdotool type --delay 30 "$probe"
xdotool key Return
wait_for 300 clipboard_is "${hits[@]}" || fail "the clipboard never held the three paths: $(xclip -o -selection clipboard 2>&1)"
echo "e2e: search, Ctrl+A and Ctrl+C: the three paths are on the clipboard"
import -window root "$outdir/e2e-window.png" 2>/dev/null || echo "e2e: no screenshot (ImageMagick missing)"

xdotool key ctrl+d
desktop_has_three() { [ "$(ls "$home/Desktop" | wc -l)" = 3 ]; }
wait_for 100 desktop_has_three || fail "Ctrl+D did not copy three files: $(ls "$home/Desktop")"
cmp -s "$home/Desktop/${hits[0]##*/}" "${hits[0]}" || fail "the Desktop copy differs"
echo "e2e: Ctrl+D copied the three files to the Desktop"

# Backwards from the keyword field: the reveal, copy and export buttons.
xdotool key shift+Tab shift+Tab shift+Tab space
wait_for 100 xdotool search --name "导出搜索结果清单" >/dev/null || fail "no save dialog"
sleep 0.5
import -window "$(xdotool search --name "导出搜索结果清单" | head -n1)" "$outdir/e2e-save-dialog.png" 2>/dev/null || true
list=$work/list.txt
xdotool key ctrl+a
xdotool type --delay 20 "$list"
xdotool key Return
wait_for 100 test -s "$list" || fail "the list was not written"
[ "$(tail -n +6 "$list" | cut -f3 | sort)" = "$(printf '%s\n' "${hits[@]}" | sort)" ] || fail "the list does not end in the three hits: $(cat "$list")"
echo "e2e: the list exported through the save dialog holds the three hits"

quit_app
echo "1 passed, 0 failed"
