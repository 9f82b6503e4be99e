#!/usr/bin/env bash
# Start-up and exit soak of the connectivity monitor.
#
# usage: scripts/soak-netcheck.sh BUILD_DIR [COUNT]
#
# Runs each of the four host programs (application built at once, built 300 ms late, library
# loaded with dlopen() after the application exists and closed before it ends, no application
# at all) COUNT times (default 200). The runs rotate through three system-bus setups, given to
# the hosts through DBUS_SYSTEM_BUS_ADDRESS: a private bus with a NetworkManager stand-in that
# says "no connectivity", a private bus without NetworkManager, and no bus at all. A run passes
# when it ends within its time limit with status 0 and writes nothing to standard error (no Qt
# warning, no GLib message, no crash report); the hosts that build an application also require
# the off-line first verdict within 4.5 s. Exits non-zero when any run failed.
#
# BUILD_DIR must hold the targets netcheck_host_* and tuk_fake_networkmanager. The hosts probe
# loopback addresses only (scripts/loopback-env.sh).
set -u
source "$(dirname "$0")/loopback-env.sh"

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [COUNT]" >&2
    exit 2
fi
BUILD_DIR=$1
COUNT=${2:-200}
case "$COUNT" in
'' | *[!0-9]*)
    echo "COUNT must be a number: $COUNT" >&2
    exit 2
    ;;
esac
PER_RUN_TIMEOUT=30
BIN="$BUILD_DIR/tests/netcheck"
HOSTS="app_at_once app_late dlopen no_app"
for exe in $HOSTS; do
    if [ ! -x "$BIN/netcheck_host_$exe" ]; then
        echo "missing $BIN/netcheck_host_$exe (build the netcheck_host_* targets)" >&2
        exit 2
    fi
done
if [ ! -x "$BIN/tuk_fake_networkmanager" ]; then
    echo "missing $BIN/tuk_fake_networkmanager" >&2
    exit 2
fi
command -v dbus-daemon >/dev/null || {
    echo "dbus-daemon is not installed" >&2
    exit 2
}

WORK=$(mktemp -d)
PIDS=()
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${PIDS[@]}"; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

# start_bus NAME: a private dbus-daemon; prints its address.
start_bus() {
    local name=$1
    cat >"$WORK/$name.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$WORK/$name.socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
    dbus-daemon --config-file="$WORK/$name.conf" --nofork --nopidfile --print-address=1 \
        >"$WORK/$name.address" 2>"$WORK/$name.log" &
    PIDS+=($!)
    local i
    for i in $(seq 1 200); do
        [ -s "$WORK/$name.address" ] && break
        sleep 0.05
    done
    if [ ! -s "$WORK/$name.address" ]; then
        echo "dbus-daemon did not start:" >&2
        cat "$WORK/$name.log" >&2
        exit 2
    fi
}

start_bus with-manager
start_bus without-manager
BUS_WITH_MANAGER=$(head -n1 "$WORK/with-manager.address")
BUS_WITHOUT_MANAGER=$(head -n1 "$WORK/without-manager.address")
NO_BUS="unix:path=$WORK/no-bus-here"

# NetworkManager stand-in, connectivity 1 ("none").
"$BIN/tuk_fake_networkmanager" "$BUS_WITH_MANAGER" 1 >"$WORK/manager.out" 2>"$WORK/manager.log" &
PIDS+=($!)
for i in $(seq 1 200); do
    grep -q ready "$WORK/manager.out" 2>/dev/null && break
    sleep 0.05
done
if ! grep -q ready "$WORK/manager.out"; then
    echo "the NetworkManager stand-in did not start:" >&2
    cat "$WORK/manager.log" >&2
    exit 2
fi

BUSES=("$BUS_WITH_MANAGER" "$BUS_WITHOUT_MANAGER" "$NO_BUS")
BUS_NAMES=("NetworkManager says none" "bus without NetworkManager" "no bus")

declare -A PASSED FAILED
failures=0
start=$(date +%s)
for host in $HOSTS; do
    PASSED[$host]=0
    FAILED[$host]=0
done

for run in $(seq 1 "$COUNT"); do
    b=$((run % 3))
    for host in $HOSTS; do
        args=(--expect-break)
        [ "$host" = no_app ] && args=()
        DBUS_SYSTEM_BUS_ADDRESS=${BUSES[$b]} QT_ASSUME_STDERR_HAS_CONSOLE=1 \
            QT_FORCE_STDERR_LOGGING=1 timeout -k 5 "$PER_RUN_TIMEOUT" \
            "$BIN/netcheck_host_$host" "${args[@]}" >"$WORK/out" 2>"$WORK/err" </dev/null
        rc=$?
        if [ $rc -eq 0 ] && [ ! -s "$WORK/err" ]; then
            PASSED[$host]=$((PASSED[$host] + 1))
            continue
        fi
        FAILED[$host]=$((FAILED[$host] + 1))
        failures=$((failures + 1))
        why="exit status $rc"
        [ $rc -eq 124 ] || [ $rc -eq 137 ] && why="hung (killed after ${PER_RUN_TIMEOUT} s)"
        echo "FAIL: $host, run $run, ${BUS_NAMES[$b]}: $why" >&2
        if [ -s "$WORK/err" ]; then
            echo "----- standard error -----" >&2
            head -n 40 "$WORK/err" >&2
            echo "--------------------------" >&2
        fi
    done
done

elapsed=$(($(date +%s) - start))
echo "netcheck soak: $COUNT runs per host in ${elapsed} s"
for host in $HOSTS; do
    printf '  %-12s passed %4d  failed %4d\n' "$host" "${PASSED[$host]}" "${FAILED[$host]}"
done
if [ $failures -ne 0 ]; then
    echo "netcheck soak: $failures failed run(s)" >&2
    exit 1
fi
echo "netcheck soak: all runs clean"
exit 0
