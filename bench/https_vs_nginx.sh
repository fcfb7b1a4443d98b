#!/usr/bin/env bash
# HTTPS load on loopback beside Debian's nginx serving the same certificate (RSA 2048, made here
# with `openssl req -x509`), with wrk at concurrency 16, alternating the servers:
#   - the program itself (build-bench/bin/appserver, Release) answering "/$/ping" on its HTTPS
#     listener (port.ini SSLPort); the program closes every connection after its reply, as its
#     settings ask (HttpKeepAlive off);
#   - bench/https_pong.cc: our HTTP server over TLS with keep-alive on, answering "Pong";
#   - nginx (2 workers, TLS 1.2 and 1.3) answering "Pong".
# Each with "Connection: close" (a full handshake per request) and with keep-alive. Prints
# requests per second, server CPU time per request, and our share of nginx's requests per second.
#   bench/https_vs_nginx.sh [seconds per run, default 5] [rounds, default 2]
# The machine's other load moves absolute figures; compare the ratios of one run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
duration=${1:-5}
rounds=${2:-2}

# shellcheck source=bench/wrk_run.sh
. "$root/bench/wrk_run.sh"
# shellcheck source=bench/nginx_pong.sh
. "$root/bench/nginx_pong.sh"
need_packages wrk:wrk nginx-light:/usr/sbin/nginx curl:curl openssl:openssl

build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPSRV_BUILD_TESTS=OFF \
      -DAPPSRV_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target appserver https_pong >/dev/null

work=$(mktemp -d)
app_pid=
pong_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
  [ -n "$pong_pid" ] && kill "$pong_pid" 2>/dev/null && wait "$pong_pid" 2>/dev/null
  stop_nginx_pong
  rm -rf "$work"
}
trap cleanup EXIT

# One certificate for everyone; it is its own root.
mkdir -p "$work/app/wwwroot"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj /CN=localhost \
  -keyout "$work/app/key.pem" -out "$work/app/cert.pem" 2>/dev/null
cp "$work/app/cert.pem" "$work/app/root.pem"

# The program, with its HTTPS listener.
app_port=$(free_port)
ln "$build/bin/appserver" "$work/app/appserver" 2>/dev/null || cp "$build/bin/appserver" "$work/app/"
printf '[PORTS]\nPort=0\nSSLPort=%s\n' "$app_port" >"$work/app/port.ini"
(cd "$work/app" && exec ./appserver </dev/null >"$work/app.out" 2>&1) &
app_pid=$!
wait_for_url "https://127.0.0.1:$app_port/\$/ping" -k

# Our TLS transport with keep-alive.
"$build/bin/https_pong" "$work/app" >"$work/pong.out" &
pong_pid=$!
for _ in $(seq 100); do grep -q '^port ' "$work/pong.out" 2>/dev/null && break; sleep 0.05; done
pong_port=$(awk '/^port /{print $2}' "$work/pong.out")

start_nginx_pong "$work" "$work/app/cert.pem" "$work/app/key.pem"

echo "wrk -t2 -c16 -d${duration}s over HTTPS; program on $app_port, https_pong on $pong_port, nginx on $nginx_port"
for round in $(seq "$rounds"); do
  for mode in close keep-alive; do
    header=()
    [ "$mode" = close ] && header=(-H "Connection: close")
    wrk_run "program $mode" "$app_pid" -t2 -c16 -d"${duration}s" "${header[@]}" "https://127.0.0.1:$app_port/\$/ping"
    wrk_run "https_pong $mode" "$pong_pid" -t2 -c16 -d"${duration}s" "${header[@]}" "https://127.0.0.1:$pong_port/"
    wrk_run "nginx $mode" "$(nginx_pong_pids)" -t2 -c16 -d"${duration}s" "${header[@]}" "https://127.0.0.1:$nginx_port/"
  done
done

echo
for mode in close keep-alive; do
  share "program $mode" "nginx $mode" 50
  share "https_pong $mode" "nginx $mode" 50
done
