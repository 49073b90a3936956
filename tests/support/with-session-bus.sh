#!/usr/bin/env bash
# Runs a command on a D-Bus session bus of its own, so that the command can play the
# desktop's services. The bus starts only what the command asks it to: NAME.service files
# it writes into $QL_TEST_SERVICES, read again when it calls the bus's ReloadConfig. The
# host's file manager can never be started. The bus lives as long as the command.
#   with-session-bus.sh COMMAND [ARG...]
set -eu
dir=$(mktemp -d /tmp/qingluan-bus-XXXXXX)
mkdir "$dir/services"
printf '<busconfig><type>session</type><listen>unix:dir=%s</listen><servicedir>%s/services</servicedir>%s</busconfig>\n' \
    "$dir" "$dir" '<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>' \
    >"$dir/bus.conf"
dbus-daemon --nofork --config-file="$dir/bus.conf" --print-address=3 3>"$dir/address" &
bus_pid=$!
trap 'kill $bus_pid 2>/dev/null; wait $bus_pid 2>/dev/null; rm -rf "$dir"' EXIT
trap 'exit 130' INT TERM
for _ in $(seq 100); do
    [ -s "$dir/address" ] && break
    sleep 0.1
done
[ -s "$dir/address" ] || { echo "with-session-bus.sh: dbus-daemon did not start" >&2; exit 1; }
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$dir/address") QL_TEST_SERVICES=$dir/services "$@"
