#!/usr/bin/env bash
# Runs a command with a PulseAudio server of its own whose one output is a null sink, so
# that sound really plays (into nothing) wherever the tests run: as root or not, with or
# without a desktop session, several at once. The server lives only as long as the
# command. Without PulseAudio (not installed, or it would not start) the command runs as it
# is, and GStreamer plays into a silent sink of its own.
#   with-null-sink.sh COMMAND [ARG...]
set -u

# Everything the server keeps (socket, cookie, pid file) stays in $dir. Running it in the
# foreground leaves its process id here, so that exactly this server is ended; should this
# script be killed outright, the server ends itself two minutes after its last client. As
# root it only warns that it is meant for a user session.
dir=$(mktemp -d /tmp/qingluan-audio-XXXXXX)
mkdir -m 700 "$dir/run"
HOME=$dir XDG_RUNTIME_DIR=$dir/run XDG_CONFIG_HOME=$dir/config pulseaudio -n --daemonize=no --use-pid-file=no \
    --exit-idle-time=120 --disallow-exit --disable-shm --log-target=stderr --load="module-null-sink sink_name=null" \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/run/native" >"$dir/server.log" 2>&1 &
server_pid=$!
trap 'kill $server_pid 2>/dev/null; wait $server_pid 2>/dev/null; rm -rf "$dir"' EXIT
trap 'exit 130' INT TERM

for _ in $(seq 100); do
    [ -S "$dir/run/native" ] || ! kill -0 "$server_pid" 2>/dev/null && break
    sleep 0.1
done
if [ -S "$dir/run/native" ]; then
    export PULSE_SERVER=unix:$dir/run/native
else
    echo "audio: no PulseAudio server, playing into GStreamer's silent fallback sink:" >&2
    sed 's/^/    /' "$dir/server.log" >&2
fi
"$@"
