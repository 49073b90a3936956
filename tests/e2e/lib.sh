# Shared by the end-to-end scripts: each runs the real program in a real X server (Xvfb)
# with HOME in a temporary folder, and drives it with xdotool like a person.
#   SCRIPT PROGRAM OUTDIR
# After sourcing: $program, $outdir, $work, $home (with Music/ and Desktop/), $marker,
# fail, wait_for, start_xvfb, start_app [ENV=VALUE...] (through the command in app_wrapper
# when one is set), window_geometry, click_keyword_field, focus_window, read_status,
# clipboard_is, quit_app;
# commands added to e2e_on_exit run at the end.
set -euo pipefail
program=$1 outdir=$2
work=$(mktemp -d /tmp/qingluan-e2e-XXXXXX)
home=$work/home
mkdir -p "$home/Music" "$home/Desktop"
marker=$home/.local/share/QingLuanXunQu/ui_ready.txt
app_wrapper=() e2e_on_exit=()

e2e_cleanup() {
    kill ${app_pid:-} ${xvfb_pid:-} 2>/dev/null || true
    for f in "${e2e_on_exit[@]}"; do eval "$f" || true; done
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap e2e_cleanup EXIT
fail() { echo "e2e: $*" >&2; exit 1; }

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
    local tenths=$1; shift
    for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
    return 1
}

start_xvfb() {
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -n1 "$work/display")"
}

start_app() {
    rm -f "$marker"
    env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u XDG_DATA_DIRS -u DBUS_SESSION_BUS_ADDRESS -u QT_QPA_PLATFORM \
        HOME="$home" "$@" "${app_wrapper[@]}" "$program" >"$work/app.log" 2>&1 &
    app_pid=$!
    wait_for 200 test -s "$marker" || fail "no readiness marker after 20 s: $(cat "$work/app.log")"
    sleep 0.5
}

# Sets window, X, Y, WIDTH and HEIGHT to the program's window.
window_geometry() {
    window=$(xdotool search --onlyvisible --name '^青鸾寻曲$' | head -n1)
    eval "$(xdotool getwindowgeometry --shell "$window")"
}

# A click into the keyword field (300 px wide, 98 px from the content's left edge), at the
# window's default size.
click_keyword_field() {
    window_geometry
    xdotool mousemove $((X + 200)) $((Y + HEIGHT - 680 + 24)) click 1 sleep 0.2
}

# Gives the window the focus (there is no window manager to do it).
focus_window() { window_geometry && xdotool windowfocus --sync "$window"; }

# The status line's whole text, read through the X primary selection: a click into the
# line, then Home and Shift+End select it (keys the application's menu never takes).
read_status() {
    window_geometry
    xdotool mousemove $((X + 200)) $((Y + HEIGHT - 24)) click 1 key Home shift+End sleep 0.2
    xclip -o -selection primary 2>/dev/null
}

# True when Ctrl+A and Ctrl+C put these lines, in any order, on the clipboard.
clipboard_is() {
    xdotool key ctrl+a ctrl+c sleep 0.2
    [ "$(xclip -o -selection clipboard 2>/dev/null | sort)" = "$(printf '%s\n' "$@" | sort)" ]
}

quit_app() {
    focus_window
    xdotool key ctrl+q
    wait_for 50 bash -c "! kill -0 $app_pid 2>/dev/null" || fail "Ctrl+Q did not end the program"
    app_pid=
}
