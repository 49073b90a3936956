#!/usr/bin/env bash
# End to end: the player submenu of the result table's context menu, driven with the
# keyboard. Below the known players it lists an audio player the system registers for
# MP3 files, which opens the selected file; a DJ application that already runs is not
# started a second time, and the status line says so.
source "$(dirname "$0")/lib.sh"

# Only these desktop entries exist for the program: the user's fake Mixxx, and a fake
# player installed for audio/mpeg as a package would register it.
apps=$home/.local/share/applications
sys=$work/sys/applications
starts=$work/starts
mkdir -p "$apps" "$sys" "$starts" "$work/bin" "$work/config"
cat > "$work/bin/record" <<EOF
#!/bin/sh
for a in "\$@"; do printf '%s\n' "\$a"; done > '$starts'/.\$\$
mv '$starts'/.\$\$ '$starts'/\$\$
EOF
chmod +x "$work/bin/record"
# Mixxx is a shell under Mixxx's name: started from its entry it runs the recorder.
cp /bin/sh "$work/bin/mixxx"
printf '[Desktop Entry]\nType=Application\nName=Mixxx\nExec="%s" "%s" %%F\n' "$work/bin/mixxx" "$work/bin/record" \
    > "$apps/org.mixxx.Mixxx.desktop"
printf '[Desktop Entry]\nType=Application\nName=Fake Player\nExec="%s" %%U\nMimeType=audio/mpeg;\n' "$work/bin/record" \
    > "$sys/fakeplayer.desktop"
printf '[MIME Cache]\naudio/mpeg=fakeplayer.desktop;\n' > "$sys/mimeinfo.cache"

track="$home/Music/qlplayers probe.mp3"
head -c 2048 /dev/urandom > "$track"

# The DJ application, already playing.
"$work/bin/mixxx" -c 'sleep 600; :' &
mixxx_pid=$!
e2e_on_exit+=("pkill -P $mixxx_pid; kill $mixxx_pid")

start_xvfb
start_app XDG_DATA_DIRS="$work/sys" XDG_CONFIG_DIRS="$work/config"

xdotool type --delay 30 "qlplayers"
xdotool key Return
searched() { read_status | grep -q '^完成：找到 1 个文件'; }
wait_for 300 searched || fail "the search did not finish with one hit: $(read_status)"

# Opens the player submenu on the selected row and chooses its item number $1 (counting
# the separator between the known and the other players as one).
choose_player() {
    focus_window
    xdotool key ctrl+a
    local window
    window=$(xdotool search --onlyvisible --name '^青鸾寻曲$' | head -n1)
    eval "$(xdotool getwindowgeometry --shell "$window")"
    xdotool mousemove --sync $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
    sleep 0.5
    # Up from no item reaches the last one, the player submenu; Right opens it on its first item.
    xdotool key Up Right
    sleep 0.3
    for _ in $(seq 2 "$1"); do xdotool key Down; done
    xdotool key Return
    sleep 0.5
}

choose_player 2
opened() { [ "$(cat "$starts"/* 2>/dev/null)" = "$track" ]; }
wait_for 100 opened || fail "the other player did not get the file: $(ls "$starts"; cat "$starts"/* 2>/dev/null)"
status=$(read_status)
[ "$status" = "已用「Fake Player」打开 1 个文件" ] || fail "after the other player: $status"
echo "e2e: the player submenu lists Fake Player below the known players, and it opened the file"

rm -f "$starts"/*
choose_player 1
status=$(read_status)
expected="「Mixxx」不接受直接打开，已为你前置窗口——请把文件拖进去。原因：已在运行，为免打断正在播放的音乐，不再启动第二个"
[ "$status" = "$expected" ] || fail "after Mixxx: $status"
sleep 0.5
[ -z "$(ls "$starts")" ] || fail "a second Mixxx was started: $(cat "$starts"/*)"
kill -0 "$mixxx_pid" || fail "the running Mixxx is gone"
echo "e2e: a second start of the running Mixxx was refused: $status"

quit_app
echo "2 passed, 0 failed"
