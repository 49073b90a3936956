# Shared by the end-to-end scripts: each runs the real program in a real X server (Xvfb)
# with HOME in a temporary folder, and drives it with xdotool like a person.
#   SCRIPT PROGRAM OUTDIR
# After sourcing: $program, $outdir, $work, $home (with Music/ and Desktop/), fail,
# wait_for, start_xvfb, start_app [ENV=VALUE...], quit_app.
set -euo pipefail
program=$1
outdir=$2
work=$(mktemp -d /tmp/qingluan-e2e-XXXXXX)
home=$work/home
mkdir -p "$home/Music" "$home/Desktop"
marker=$home/.local/share/QingLuanXunQu/ui_ready.txt

e2e_cleanup() {
    [ -n "${app_pid:-}" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
    for f in "${e2e_on_exit[@]}"; do eval "$f" || true; done
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
e2e_on_exit=()
trap e2e_cleanup EXIT
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

start_xvfb() {
    exec 3> "$work/display"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    exec 3>&-
    wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -n1 "$work/display")"
}

# Starts the program with HOME=$home (plus the given VAR=VALUE settings) and waits for
# its readiness marker.
start_app() {
    rm -f "$marker"
    env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u XDG_DATA_DIRS -u DBUS_SESSION_BUS_ADDRESS -u QT_QPA_PLATFORM \
        HOME="$home" "$@" "$program" >"$work/app.log" 2>&1 &
    app_pid=$!
    wait_for 200 test -s "$marker" || fail "no readiness marker after 20 s: $(cat "$work/app.log")"
    sleep 0.5
}

# The window of the program, given the focus (there is no window manager to do it).
focus_window() {
    local window
    window=$(xdotool search --onlyvisible --name '^青鸾寻曲$' | head -n1)
    xdotool windowfocus --sync "$window"
}

quit_app() {
    focus_window
    xdotool key ctrl+q
    wait_for 50 bash -c "! kill -0 $app_pid 2>/dev/null" || fail "Ctrl+Q did not end the program"
    app_pid=
}

# The status line's whole text, read through the X primary selection: a click into the
# line, then Home and Shift+End select it (keys the application's menu never takes).
read_status() {
    local window geo x y w h
    window=$(xdotool search --onlyvisible --name '^青鸾寻曲$' | head -n1)
    eval "$(xdotool getwindowgeometry --shell "$window")"
    xdotool mousemove --sync $((X + 200)) $((Y + HEIGHT - 24)) click 1
    xdotool key Home shift+End
    sleep 0.2
    xclip -o -selection primary 2>/dev/null
}
