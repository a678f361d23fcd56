#!/usr/bin/env bash
# Runs a command with a Wine prefix inside the build tree and a private X display.
# Usage: scripts/with-wine.sh BUILD_DIR COMMAND [ARGS...]
# The display and the Wine server (kept running for the whole command) are stopped when the
# command ends, whatever its result.
set -euo pipefail

build_dir=$(cd "$1" && pwd)
shift

export WINEPREFIX="$build_dir/wineprefix"
export WINEDEBUG=-all
export WINEARCH=win64
# The project's own xinput1_3 and openvr_api are loaded from their files first.
export WINEDLLOVERRIDES="xinput1_3=n,b;openvr_api=n,b;mscoree=;mshtml=;winedbg.exe=d"
wine=/usr/lib/wine/wine64

display=""
for n in $(seq 90 190); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
        display=$n
        break
    fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }

Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
cleanup() {
    /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" >/dev/null 2>&1 || true
    wait "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=":$display"
for _ in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
done

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating Wine prefix in $WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
fi

# One server for the whole command, kept when its last program exits: a program started while
# a server of its own was shutting down could fail to start at all. Wine's own background
# programs start with it here, away from the command's output (a test runner waits for every
# holder of its output to let go).
/usr/lib/wine/wineserver -p
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true

"$@"
