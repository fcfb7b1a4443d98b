#!/usr/bin/env bash
# Connection-per-request load on our TCP server (bench/tcp_pong.cc) beside Debian's nginx, both on
# loopback answering a fixed 4-byte "Pong", with wrk at concurrency 16 and 64, alternating the
# two servers. Prints requests per second and server CPU time per request (utime + stime from
# /proc, all threads / all nginx processes) for each, and our share of nginx's figures.
#   bench/tcp_pong_vs_nginx.sh [seconds per run, default 5] [rounds, default 2]
# The machine's other load moves absolute figures; compare the ratios of one run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
duration=${1:-5}
rounds=${2:-2}

# shellcheck source=bench/nginx_wrk.sh
. "$root/bench/nginx_wrk.sh"
need_packages wrk:wrk nginx-light:/usr/sbin/nginx curl:curl

build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPSRV_BUILD_TESTS=OFF \
      -DAPPSRV_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target tcp_pong >/dev/null

work=$(mktemp -d)
pong_pid=
cleanup() {
  [ -n "$pong_pid" ] && kill "$pong_pid" 2>/dev/null && wait "$pong_pid" 2>/dev/null
  stop_nginx
  rm -rf "$work"
}
trap cleanup EXIT

# Our server.
"$build/bin/tcp_pong" >"$work/pong.out" &
pong_pid=$!
for _ in $(seq 100); do grep -q '^port ' "$work/pong.out" 2>/dev/null && break; sleep 0.05; done
pong_port=$(awk '/^port /{print $2}' "$work/pong.out")

# nginx, configured in the temporary folder.
nginx_port=$(free_port)
start_nginx "$work/nginx" "$nginx_port" 'location / { default_type text/plain; return 200 "Pong"; }'
wait_for_url "http://127.0.0.1:$nginx_port/"

echo "wrk -t2 -c{16,64} -d${duration}s -H 'Connection: close'; ours on port $pong_port, nginx on $nginx_port"
for round in $(seq "$rounds"); do
  for conns in 16 64; do
    wrk_run "ours c=$conns" "$pong_pid" -t2 -c"$conns" -d"${duration}s" -H "Connection: close" "http://127.0.0.1:$pong_port/"
    wrk_run "nginx c=$conns" "$(nginx_pids)" -t2 -c"$conns" -d"${duration}s" -H "Connection: close" "http://127.0.0.1:$nginx_port/"
  done
done

echo
for conns in 16 64; do
  share "ours c=$conns" "nginx c=$conns" 60
done
