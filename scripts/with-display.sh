#!/usr/bin/env bash
# Runs a command with a private X display (Xvfb) and a private session bus, and stops both
# afterwards. Used by the functional tests and by `make run` on a machine without a display.
set -euo pipefail
for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
done
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
bus_pid=""
cleanup() {
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X${display#:}" ] && break
    sleep 0.05
done
export DISPLAY="$display" NO_AT_BRIDGE=1 GDK_BACKEND=x11
unset WAYLAND_DISPLAY
eval "$(dbus-launch --sh-syntax)"
bus_pid="${DBUS_SESSION_BUS_PID:-}"
"$@"
