#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds from scratch and runs the example host program against
# httpbin and nginx started on free loopback ports; both servers are stopped on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
export BUILD_DIR=${BUILD_DIR:-build}
# The connectivity monitor probes loopback only: no probe leaves the machine.
export TUK_NETCHECK_ENDPOINTS=${TUK_NETCHECK_ENDPOINTS:-http://127.0.0.1:9,http://[::1]:9}
bash scripts/build.sh

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 1 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "server on port $1 did not start" >&2; return 1
}

bin_port=$(free_port)
/usr/bin/python3 -W ignore -m httpbin.core --host 127.0.0.1 --port "$bin_port" >/dev/null 2>&1 &
pids+=($!)

web_port=$(free_port)
mkdir -p "$work/www" "$work/tmp"
head -c 8388608 /dev/urandom > "$work/www/sample.bin"
user=""; [ "$(id -u)" -eq 0 ] && user="user root;"
cat > "$work/nginx.conf" <<CONF
$user
daemon off; worker_processes 1; pid $work/nginx.pid; error_log $work/error.log warn;
events { worker_connections 64; }
http {
  access_log off; client_body_temp_path $work/tmp/body; proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fcgi; uwsgi_temp_path $work/tmp/uwsgi; scgi_temp_path $work/tmp/scgi;
  server { listen 127.0.0.1:$web_port; root $work/www; }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
pids+=($!)

wait_port "$bin_port"
wait_port "$web_port"
"$BUILD_DIR/examples/tuk_demo" "http://127.0.0.1:$bin_port" "http://127.0.0.1:$web_port/sample.bin"
