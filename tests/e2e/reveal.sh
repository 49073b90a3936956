#!/usr/bin/env bash
# End to end: revealing a file when the only file manager is one the session bus has to
# start first (it takes 3 s to come up). The first Ctrl+R must show the file, and the
# status line must claim it only once the file manager has answered.
source "$(dirname "$0")/lib.sh"

fake=$outdir/tests/ql_fakefilemanager
[ -x "$fake" ] || fail "missing $fake (build the tests)"

# A session bus of our own, whose service folder holds only the fake file manager.
mkdir -p "$work/services" "$work/nodata"
cat > "$work/bus.conf" <<CONF
<busconfig><type>session</type><listen>unix:dir=$work</listen>
<servicedir>$work/services</servicedir>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
printf '[D-BUS Service]\nName=org.freedesktop.FileManager1\nExec=%s %s 3000\n' "$fake" "$work/shown" \
    > "$work/services/org.freedesktop.FileManager1.service"
dbus-daemon --nofork --config-file="$work/bus.conf" --print-address=4 4>"$work/bus-address" &
bus_pid=$!
e2e_on_exit+=("kill $bus_pid")
wait_for 100 test -s "$work/bus-address" || fail "dbus-daemon did not start"

mkdir -p "$home/Music/Reveal Set"
head -c 2048 /dev/urandom > "$home/Music/Reveal Set/qlreveal 青鸾.mp3"
uri="file://$home/Music/Reveal%20Set/qlreveal%20%E9%9D%92%E9%B8%BE.mp3"

start_xvfb
# No folder handler of the host's: if the file manager fails, the reveal fails.
start_app DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$work/bus-address")" XDG_DATA_DIRS="$work/nodata"

xdotool type --delay 30 "qlreveal"
xdotool key Return
found() {
    xdotool key ctrl+a ctrl+c
    sleep 0.2
    [ "$(xclip -o -selection clipboard 2>/dev/null)" = "$home/Music/Reveal Set/qlreveal 青鸾.mp3" ]
}
wait_for 300 found || fail "the search did not find the file"

success="已在文件管理器中定位 1 个文件里的第 1 个"

focus_window
xdotool key ctrl+r
sleep 0.5
early=$(read_status)
echo "e2e: status line right after Ctrl+R: $early"
[ "$early" != "$success" ] || fail "the success was claimed before the file manager answered"
wait_for 150 test -s "$work/shown" || fail "the first Ctrl+R never reached the file manager"
[ "$(cat "$work/shown")" = "$uri" ] || fail "the file manager was asked to show $(cat "$work/shown")"
has_success() { [ "$(read_status)" = "$success" ]; }
wait_for 50 has_success || fail "status line: $(read_status)"
echo "e2e: the first Ctrl+R started the file manager, which showed the file; status line: $success"

quit_app
echo "1 passed, 0 failed"
