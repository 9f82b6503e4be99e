#!/usr/bin/env bash
# Builds the Windows side of the platform layer (src/platform/*_win.*, no Qt) with MinGW-w64 g++
# and with clang, and runs its tests (tests/windows) under wine through CTest. The tests run in two
# network namespaces made for the run: "offline" has only loopback; "online" has a veth link to a
# third, empty namespace and a default route through it, so wine sees a network while nothing can
# leave the machine. Each namespace gets its own wine prefix and a warmed, persistent wineserver.
# Needs root (namespaces, apt): without it, exits 77 (CTest's test windows_platform then reports
# itself skipped). Exits non-zero on any failure; every step has a time limit.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
if [ "$(id -u)" -ne 0 ]; then
  echo "test-windows.sh needs root (network namespaces): skipped" >&2
  exit 77 # CTest's skip code for this test
fi

PKGS=(g++-mingw-w64-x86-64-posix clang lld wine wine64 cmake ninja-build iproute2 coreutils)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  timeout 600 apt-get update
  timeout 1200 apt-get install -y --no-install-recommends "${missing[@]}"
fi

START=$(date +%s)
WORK=$(mktemp -d /tmp/tukwin.XXXXXX)
TAG=tukwin$$ # namespace and link names, unique to this run
NETS=(offline online)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

in_net() { # in_net NET COMMAND...: runs the command in that namespace with its wine prefix
  local net=$1
  shift
  ip netns exec "$TAG-$net" env WINEPREFIX="$WORK/prefix-$net" "$@"
}

pids=() # the prefixes being prepared
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for net in "${NETS[@]}"; do
    in_net "$net" timeout 30 wineserver -k >/dev/null 2>&1 || true
    ip netns del "$TAG-$net" 2>/dev/null || true
  done
  ip netns del "$TAG-peer" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

for ns in "${NETS[@]}" peer; do
  ip netns add "$TAG-$ns"
  ip -n "$TAG-$ns" link set lo up
done
ip -n "$TAG-online" link add "${TAG}a" type veth peer name "${TAG}b" netns "$TAG-peer"
ip -n "$TAG-online" addr add 192.0.2.1/24 dev "${TAG}a"
ip -n "$TAG-peer" addr add 192.0.2.2/24 dev "${TAG}b"
ip -n "$TAG-online" link set "${TAG}a" up
ip -n "$TAG-peer" link set "${TAG}b" up
ip -n "$TAG-online" route add default via 192.0.2.2

# Each prefix is made first and its server left to end; then a persistent wineserver is started
# inside the namespace, with wine's services and the COM service (RpcSs) running before the first
# test: otherwise a test starts them and CTest waits for them. (A server made persistent before the
# prefix exists ends up with two service managers restarting services all the time.)
prepare_prefix() {
  in_net "$1" timeout 180 wineboot --init
  in_net "$1" timeout 60 wineserver -w
  in_net "$1" wineserver -p
  in_net "$1" timeout 60 wine net start rpcss
}
for net in "${NETS[@]}"; do
  prepare_prefix "$net" >"$WORK/prefix-$net.log" 2>&1 &
  pids+=($!)
done

for compiler in gcc clang; do
  timeout 300 cmake -S tests/windows -B "$WORK/build-$compiler" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$SRC/tests/windows/toolchain-mingw-$compiler.cmake" \
    -DTUKWIN_ROOT="$WORK" -DTUKWIN_TAG="$TAG" >"$WORK/configure-$compiler.log" ||
    { cat "$WORK/configure-$compiler.log"; exit 1; }
  timeout 600 cmake --build "$WORK/build-$compiler"
done

for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || { cat "$WORK/prefix-${NETS[$i]}.log"; exit 1; }
done
pids=()

status=0
for compiler in gcc clang; do
  echo "== Windows platform tests, $compiler"
  timeout 600 ctest --test-dir "$WORK/build-$compiler" --output-on-failure --timeout 60 ||
    status=1
done
echo "Windows platform tests took $(($(date +%s) - START)) s after package installation"
exit $status
