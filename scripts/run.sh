#!/usr/bin/env bash
# Sets up the machine, builds, and starts QingLuan:  scripts/run.sh [KEYWORD]
# Without a graphical session (a server, a container, an SSH login) it runs the window's
# search on the command line instead: KEYWORD (or every file) over every disk and the home
# folder, at most 8000 hits, paths on standard output, progress on standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh

# True when Qt can reach a display: a Wayland socket, a local X server's socket, a remote
# X display (ssh -X), or a platform that needs none (offscreen, vnc, ...).
has_display() {
    case "${QT_QPA_PLATFORM:-}" in
        "" | xcb* | wayland*) ;;
        *) return 0 ;;
    esac
    if [ -n "${WAYLAND_DISPLAY:-}" ]; then
        local socket=$WAYLAND_DISPLAY
        [ "${socket#/}" != "$socket" ] || socket=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/$socket
        [ -S "$socket" ] && return 0
    fi
    case "${DISPLAY:-}" in
        "") return 1 ;;
        :*) local n=${DISPLAY#:}; [ -S "/tmp/.X11-unix/X${n%%.*}" ] ;;
        *) return 0 ;;
    esac
}

if has_display; then
    exec build/app/qingluan
fi

echo "No graphical session here (no X11 or Wayland display): start scripts/run.sh in a desktop session for the window; searching on the command line now." >&2
keyword=${1:-}
progress=$(mktemp)
trap 'rm -f "$progress"' EXIT
# Ctrl-C stops the search; qlfind then ends with what it found, and the summary follows.
stopped=
trap 'stopped=1' INT
shopt -s lastpipe
started=$(date +%s%N)
count=0
# Paths end in NUL (a name may hold a line feed); progress goes on to standard error
# through a copy that keeps the last directory count.
{ build/cli/qlfind --progress --limit 8000 -0 -- "$keyword" 2>&1 1>&3 3>&- | tee "$progress" >&2; } 3>&1 |
    while IFS= read -r -d '' path; do
        printf '%s\n' "$path"
        count=$((count + 1))
    done || true
tenths=$((($(date +%s%N) - started) / 100000000))
dirs=$(sed -n 's/^正在扫描第 \([0-9]*\) 个目录：.*/\1/p' "$progress" | tail -n1)
echo "完成：找到 $count 个文件，耗时 $((tenths / 10)).$((tenths % 10)) 秒，扫描 ${dirs:-0} 个目录${stopped:+（已手动停止，结果不完整）}。" >&2
