#!/usr/bin/env bash
# End to end: the window under the keyboard and at its sizes. Its content is 1080×680 below
# the menu bar; choosing a kind or a scope with the keyboard starts no search; a disk
# mounted after start-up appears in the scope pop-up and can be searched alone; a status
# text longer than the line is copied whole. Leaves screenshots in OUTDIR at the default
# and the smallest size: e2e-window-1080.png, e2e-window-820.png. Then the installed desktop
# entry, and scripts/run.sh without a display.
source "$(dirname "$0")/lib.sh"
src=$(cd "$(dirname "$0")/../.." && pwd)
head -c 2048 /dev/urandom > "$home/Music/qlprobe one.mp3"
head -c 2048 /dev/urandom > "$home/Music/qlprobe two.flac"

start_xvfb
start_app
window_geometry
bar=$((HEIGHT - 680))
[ "$WIDTH" = 1080 ] && [ "$bar" -gt 0 ] && [ "$bar" -lt 60 ] || fail "window is ${WIDTH}x${HEIGHT}: not 1080x680 below a menu bar"

# The kind pop-up opened with alt+Down: Down and Return choose MP3. Return on the closed
# scope pop-up opens its list: End and Return choose the home folder, the last entry.
focus_window
xdotool key Tab alt+Down sleep 0.4 key Down Return sleep 0.5 key Tab Return sleep 0.4 key End Return sleep 0.5
status=$(read_status)
[ "$status" = "就绪。搜索为只读操作，不会改动任何文件。" ] || fail "choosing with the keyboard changed the status line: $status"
# Return in the keyword field searches, with the kind and the scope chosen above.
click_keyword_field
xdotool type --delay 30 "qlprobe"
xdotool key Return
wait_for 300 clipboard_is "$home/Music/qlprobe one.mp3" || fail "no MP3-only result: $(xclip -o -selection clipboard 2>&1)"
echo "e2e: a kind and a scope chosen with the keyboard started nothing; Return in the keyword field searched with them"

# A disk mounted after start-up, with a long name, in the home folder, where the file
# manager lists mounts. A ramfs: GIO counts tmpfs and bind mounts of a folder as the
# system's own mounts, which no file manager lists.
mnt="$home/DJ 外接硬盘 Pioneer Rekordbox Export Library 2024 Summer Tour Backup Drive/Sets"
mkdir -p "$mnt"
if mount -t ramfs ramfs "$mnt" 2>"$work/mount.log"; then
    e2e_on_exit+=("umount '$mnt'")
    head -c 2048 /dev/urandom > "$mnt/qlprobe usb.mp3"
    sleep 1
    # Its entry is the last disk, just above the home folder at the end of the list.
    click_keyword_field
    xdotool key Tab Tab alt+Down sleep 0.4 key End Up Return sleep 0.3
    click_keyword_field
    xdotool key Return
    wait_for 300 clipboard_is "$mnt/qlprobe usb.mp3" || fail "the new disk was not searched alone: $(xclip -o -selection clipboard 2>&1)"
    # The one hit selected: its summary is longer than the status line.
    xdotool key ctrl+a sleep 0.2
    status=$(read_status)
    [ "$status" = "qlprobe usb.mp3 · 2.0 KB · $mnt/qlprobe usb.mp3" ] || fail "the status line did not give its whole text: $status"
    echo "e2e: a ramfs mounted after start-up was searched alone; its long summary was copied whole from the status line"
else
    echo "e2e: SKIPPED the mount case: mounting was refused here ($(head -c 200 "$work/mount.log"))"
fi

import -window "$window" "$outdir/e2e-window-1080.png" 2>/dev/null
xdotool windowsize --sync "$window" 820 $((520 + bar))
sleep 0.5
import -window "$window" "$outdir/e2e-window-820.png" 2>/dev/null
quit_app

# The installed desktop entry names the installed program and passes the validator.
cmake --install "$outdir" --prefix "$work/prefix" >/dev/null
entry="$work/prefix/share/applications/qingluan.desktop"
validate=$(desktop-file-validate "$entry" 2>&1 || true)
[ -z "$validate" ] || fail "desktop-file-validate: $validate"
[ "$(sed -n 's/^Exec=//p' "$entry")" = "$work/prefix/bin/qingluan" ] && [ -x "$work/prefix/bin/qingluan" ] ||
    fail "Exec is not the installed program: $(grep ^Exec "$entry")"
echo "e2e: the installed desktop entry validates and starts $work/prefix/bin/qingluan"

# Without a display the run command searches on the command line. It builds into build/,
# so it is run only when that is the build under test.
if [ "$(realpath "$outdir")" = "$(realpath "$src/build" 2>/dev/null)" ]; then
    env -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" bash "$src/scripts/run.sh" qlprobe >"$work/run.out" 2>"$work/run.err" ||
        fail "run.sh without a display failed: $(tail -n 5 "$work/run.err")"
    grep -qx "No graphical session here.*" "$work/run.err" || fail "run.sh did not say why: $(head -n 3 "$work/run.err")"
    grep -qxF "$home/Music/qlprobe one.mp3" "$work/run.out" || fail "run.sh did not find the file: $(cat "$work/run.out")"
    tail -n1 "$work/run.err" | grep -Eq "^完成：找到 $(grep -ci qlprobe "$work/run.out") 个文件，耗时 [0-9]+\.[0-9] 秒，扫描 [0-9]+ 个目录。$" ||
        fail "bad summary: $(tail -n1 "$work/run.err")"
    echo "e2e: run.sh without a display: $(tail -n1 "$work/run.err")"
else
    echo "e2e: SKIPPED run.sh without a display: it builds into $src/build, not the build under test"
fi
echo "1 passed, 0 failed"
