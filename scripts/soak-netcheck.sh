#!/usr/bin/env bash
# Start-up and exit soak of the connectivity monitor.
#
# usage: scripts/soak-netcheck.sh BUILD_DIR [COUNT]
#
# Runs the hosts test of tests/netcheck/tst_netcheck.cpp with COUNT runs (default 200) of each of
# the four kinds of host (application built at once, built 300 ms late, library loaded with
# dlopen() after the application exists and closed before it ends, no application at all), in
# turn with a bus whose NetworkManager says "none", a bus without NetworkManager, and no bus. A run
# passes when it ends in time with status 0, writes nothing on standard error and, with an
# application, got the "off line" first verdict within 4.5 s. Exits non-zero when any run failed.
# The hosts probe loopback addresses only (scripts/loopback-env.sh).
set -euo pipefail
source "$(dirname "$0")/loopback-env.sh"
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [COUNT]" >&2
    exit 2
fi
COUNT=${2:-200}
start=$(date +%s)
TUK_SOAK_RUNS=$COUNT QT_QPA_PLATFORM=offscreen "$1/tests/netcheck/tst_netcheck" -silent hosts
echo "netcheck soak: $COUNT runs per host in $(($(date +%s) - start)) s, all clean"
