#!/usr/bin/env bash
# Runs a test program inside a private network namespace of its own: a tmpfs on /run, loopback
# and a veth pair (10.99.0.1 <-> 10.99.0.2), a private system bus and an avahi-daemon on it.
# Nothing reaches the machine's own buses or network. Exit 77 (skipped) where namespaces or
# the daemons are not available.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 TEST-PROGRAM [ARGS...]" >&2; exit 2; }
for tool in unshare ip dbus-daemon avahi-daemon avahi-publish; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed" >&2; exit 77; }
done
if ! unshare --net --mount --pid --fork --mount-proc true 2>/dev/null; then
    echo "SKIPPED: cannot create a private network namespace here (needs root)" >&2
    exit 77
fi

exec unshare --net --mount --pid --fork --mount-proc bash -c '
set -euo pipefail
mount -t tmpfs tmpfs /run
ip link set lo up
ip link add veth0 type veth peer name veth1
ip link set veth0 up
ip link set veth1 up
ip addr add 10.99.0.1/24 dev veth0
ip addr add 10.99.0.2/24 dev veth1
mkdir -p /run/dbus
dbus-daemon --system --fork --nopidfile
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket
conf=/run/lumetta-avahi.conf
printf "[server]\nuse-ipv4=yes\nuse-ipv6=no\n[wide-area]\nenable-wide-area=no\n[publish]\npublish-hinfo=no\npublish-workstation=no\n" >"$conf"
export LUMETTA_NETNS=1 LUMETTA_AVAHI_CONF="$conf"
"$@"
' run-in-netns "$@"
