#!/bin/sh
# CTest's emulator for the Windows tests: runs a program under wine inside the network namespace
# the test names (TUKWIN_NET: offline or online), with that namespace's own wine prefix: wine's
# server makes the sockets and answers the network questions, so each namespace needs its own.
# scripts/test-windows.sh creates the namespaces ("$TUKWIN_TAG-$TUKWIN_NET") and the prefixes.
set -eu
net=${TUKWIN_NET:-offline}
exec ip netns exec "${TUKWIN_TAG:-tukwin}-$net" env WINEPREFIX="${TUKWIN_ROOT:-/tmp/tukwin}/prefix-$net" \
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;iexplore.exe=n" \
    timeout -k 5 55 wine "$@"
