#!/usr/bin/env bash
# End to end, in one run of the program: what the search reaches, revealing the hit, copying
# it to the Desktop, exporting the list through the real save dialog, and the player submenu.
# - Reach: a music folder outside the index holds a folder named Library (walked: only
#   Library directly in a home folder is a system folder), and the index knows a track in
#   the Trash (never shown). As root the program runs in a mount namespace of its own, where
#   the system's index location holds the test's database; elsewhere that part is skipped.
# - Reveal: the only file manager is one the session bus has to start first, and it takes
#   3 s to come up. The first Ctrl+R must show the file, and the status line must claim it
#   only once the file manager has answered.
# - Ctrl+A and Ctrl+C from the keyword field put the path on the X clipboard; Ctrl+D copies
#   the file; the export button, three steps back from the field, opens the save dialog
#   (screenshots in OUTDIR: e2e-window.png, e2e-save-dialog.png).
# - Players: below the known players the submenu lists an audio player the system registers
#   for MP3 files, which opens the file.

# A session bus of our own, whose only service is the fake file manager.
if [ -z "${QL_TEST_SERVICES:-}" ]; then
    exec bash "$(dirname "$0")/../support/with-session-bus.sh" bash "$0" "$@"
fi
source "$(dirname "$0")/lib.sh"

fake=$outdir/tests/ql_fakefilemanager
[ -x "$fake" ] || fail "missing $fake (build the tests)"

# A keyword of this run alone: the search covers every disk, other runs' files included.
probe=qlhandoff$$
track="$home/Music/Sets/Library/$probe 青鸾.mp3"
mkdir -p "$home/Music/Sets/Library" "$home/.local/share/Trash/files"
head -c 2048 /dev/urandom > "$track"
head -c 1024 /dev/urandom > "$home/.local/share/Trash/files/$probe deleted.flac"
if [ "$(id -u)" = 0 ] && unshare --mount true 2>/dev/null; then
    # The music folder is not indexed (as removable drives are not), the Trash is.
    mkdir -p "$work/index"
    updatedb -l 0 -U "$work" -o "$work/index/plocate.db" --prunefs '' --prunepaths "$home/Music" --prunenames ''
    env -u LOCATE_PATH plocate -d "$work/index/plocate.db" "$probe deleted" >/dev/null || fail "the test index lacks the Trash file"
    app_wrapper=(unshare --mount --propagation private bash -c 'mount --bind "$0" /var/lib/plocate && exec "$@"' "$work/index")
else
    echo "e2e: the Trash part is skipped: a mount namespace needs root here"
fi

printf '[D-BUS Service]\nName=org.freedesktop.FileManager1\nExec=%s %s 3000\n' "$fake" "$work/shown" \
    > "$QL_TEST_SERVICES/org.freedesktop.FileManager1.service"

# The only desktop entries: the user's fake Mixxx, and a fake player installed for
# audio/mpeg as a package would register it (no application for folders).
apps=$home/.local/share/applications
sys=$work/sys/applications
starts=$work/starts
mkdir -p "$apps" "$sys" "$starts" "$work/bin" "$work/config"
printf '#!/bin/sh\nprintf "%%s\\n" "$@" > %s/.$$; mv %s/.$$ %s/$$\n' "$starts" "$starts" "$starts" > "$work/bin/record"
chmod +x "$work/bin/record"
printf '[Desktop Entry]\nType=Application\nName=Mixxx\nExec="%s" %%F\n' "$work/bin/record" > "$apps/org.mixxx.Mixxx.desktop"
printf '[Desktop Entry]\nType=Application\nName=Fake Player\nExec="%s" %%U\nMimeType=audio/mpeg;\n' "$work/bin/record" \
    > "$sys/fakeplayer.desktop"
printf '[MIME Cache]\naudio/mpeg=fakeplayer.desktop;\n' > "$sys/mimeinfo.cache"

start_xvfb
start_app XDG_DATA_DIRS="$work/sys" XDG_CONFIG_DIRS="$work/config" DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"
xdotool type --delay 30 "$probe"
xdotool key Return
searched() { read_status | grep -q '^完成：'; }
wait_for 600 searched || fail "the search did not finish: $(read_status)"
focus_window
clipboard_is "$track" || fail "expected only the Library track, the clipboard holds: $(xclip -o -selection clipboard 2>&1)"
echo "e2e: a Library folder inside a music folder is walked; a Trash track in the index is not shown"

success="已在文件管理器中定位 1 个文件里的第 1 个"
focus_window
xdotool key ctrl+r
sleep 0.5
early=$(read_status)
[ "$early" != "$success" ] || fail "the success was claimed before the file manager answered"
wait_for 150 test -s "$work/shown" || fail "the first Ctrl+R never reached the file manager"
uri="file://$home/Music/Sets/Library/$probe%20%E9%9D%92%E9%B8%BE.mp3"
[ "$(cat "$work/shown")" = "$uri" ] || fail "the file manager was asked to show $(cat "$work/shown")"
has_success() { [ "$(read_status)" = "$success" ]; }
wait_for 50 has_success || fail "status line: $(read_status)"
echo "e2e: the first Ctrl+R started the file manager, which showed the file (status line before: $early)"

xdotool key ctrl+d
wait_for 100 cmp -s "$home/Desktop/${track##*/}" "$track" || fail "Ctrl+D did not copy the track: $(ls "$home/Desktop")"
import -window root "$outdir/e2e-window.png" 2>/dev/null || echo "e2e: no screenshot (ImageMagick missing)"
click_keyword_field
xdotool key shift+Tab shift+Tab shift+Tab space
wait_for 100 xdotool search --name "导出搜索结果清单" >/dev/null || fail "no save dialog"
sleep 0.5
import -window "$(xdotool search --name "导出搜索结果清单" | head -n1)" "$outdir/e2e-save-dialog.png" 2>/dev/null || true
xdotool key ctrl+a
xdotool type --delay 20 "$work/list.txt"
xdotool key Return
wait_for 100 test -s "$work/list.txt" || fail "the list was not written"
[ "$(tail -n +6 "$work/list.txt" | cut -f3)" = "$track" ] || fail "the list does not end in the track: $(cat "$work/list.txt")"
echo "e2e: Ctrl+D copied the track to the Desktop; the list exported through the save dialog holds it"

# The player submenu on the selected row, its second item (the separator between the known
# and the other players counts as one).
focus_window
xdotool key ctrl+a
window_geometry
xdotool mousemove --sync $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
sleep 0.5
# Up from no item reaches the last one, the player submenu; Right opens it on its first item.
xdotool key Up Right
sleep 0.3
xdotool key Down Return
opened() { [ "$(cat "$starts"/* 2>/dev/null)" = "$track" ]; }
wait_for 100 opened || fail "the other player did not get the file: $(ls "$starts"; cat "$starts"/* 2>/dev/null)"
[ "$(read_status)" = "已用「Fake Player」打开 1 个文件" ] || fail "after the other player: $(read_status)"
echo "e2e: the player submenu lists Fake Player below the known players, and it opened the file"

quit_app
echo "4 passed, 0 failed"
