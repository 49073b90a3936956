#!/usr/bin/env bash
# End to end: what the walk and the index reach on Linux. A music folder outside the
# index holds a folder named Library (walked: only Library directly in a home folder is
# a system folder), and the index knows a track in the Trash (never shown). The program
# runs in a mount namespace of its own, so that the system's index location holds the
# test's database and nothing of the machine's is changed. Needs root for the namespace.
source "$(dirname "$0")/lib.sh"

if [ "$(id -u)" != 0 ] || ! unshare --mount true 2>/dev/null; then
    echo "e2e: skipped: a mount namespace needs root here"
    echo "0 passed, 0 failed, 1 skipped"
    exit 0
fi

mkdir -p "$home/Music/Sets/Library" "$home/.local/share/Trash/files"
head -c 1024 /dev/urandom > "$home/Music/Sets/Library/qlreach deep.mp3"
head -c 1024 /dev/urandom > "$home/.local/share/Trash/files/qlreach deleted.flac"
mkdir -p "$work/index"
# The music folder is not indexed (as removable drives are not), the Trash is.
updatedb -l 0 -U "$work" -o "$work/index/plocate.db" --prunefs '' --prunepaths "$home/Music" --prunenames ''
env -u LOCATE_PATH plocate -d "$work/index/plocate.db" "qlreach deleted" >/dev/null || fail "the test index lacks the Trash file"

start_xvfb
# The wrapper runs in the namespace: the test index takes the system index's place.
app_wrapper=(unshare --mount --propagation private bash -c 'mount --bind "$0" /var/lib/plocate && exec "$@"' "$work/index")
start_app

xdotool type --delay 30 "qlreach"
xdotool key Return
expected="$home/Music/Sets/Library/qlreach deep.mp3"
clipboard_matches() {
    xdotool key ctrl+a ctrl+c
    sleep 0.2
    [ "$(xclip -o -selection clipboard 2>/dev/null)" = "$expected" ]
}
# The search has ended once the summary shows; then the clipboard must hold the one hit.
searched() { read_status | grep -q '^完成：'; }
wait_for 600 searched || fail "the search did not finish: $(read_status)"
focus_window
clipboard_matches || fail "expected only the Library track, the clipboard holds: $(xclip -o -selection clipboard 2>&1)"
echo "e2e: a Library folder inside a music folder is walked; a Trash track in the index is not shown"

quit_app
echo "1 passed, 0 failed"
