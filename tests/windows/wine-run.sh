#!/bin/sh
# CTest's emulator: runs the program under wine in the network namespace TUKWIN_NET names, with the
# namespace's own wine prefix (its server makes the sockets). scripts/test-windows.sh makes both.
set -eu
exec ip netns exec "$TUKWIN_TAG-$TUKWIN_NET" env WINEPREFIX="$TUKWIN_ROOT/prefix-$TUKWIN_NET" \
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;iexplore.exe=n" \
    timeout -k 5 55 wine "$@"
