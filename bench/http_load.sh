#!/usr/bin/env bash
# Load on the real transport beside nginx, in one run, on loopback, with Debian's wrk:
#   - "/$/ping" of bench/transport_server and nginx answering "Pong", with "Connection: close",
#     at 16 and 64 connections;
#   - an Add call of the application service on a live session (its cookie and a form body),
#     with "Connection: close", at 16 and 64 connections;
#   - the same with HttpKeepAlive on, against nginx with keep-alive.
# Prints requests per second and the server's CPU time per request (user + system, from
# /proc/<pid>/stat, all threads and worker processes). Servers alternate, so that the ratios
# within one run hold even on a shared machine.
#
#   bench/http_load.sh [seconds-per-run]      (default 5; builds transport_server in build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
duration=${1:-5}
build="$root/build-bench"
if [[ ! -x "$build/bin/transport_server" ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPSRV_BUILD_TESTS=OFF \
        -DAPPSRV_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j "$(nproc)" --target transport_server >/dev/null
fi
command -v wrk >/dev/null || { echo "wrk is missing (apt-get install wrk)"; exit 1; }
command -v nginx >/dev/null || { echo "nginx is missing (apt-get install nginx-light)"; exit 1; }

work=$(mktemp -d)
pids=()
source "$root/bench/nginx_pong.sh"
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  stop_nginx_pong
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# CPU ticks (user + system) of the processes given.
cpu_ticks() {
  local total=0 pid
  for pid in "$@"; do
    if [[ -r /proc/$pid/stat ]]; then
      # Fields 14 and 15 after the command name, which may hold blanks.
      total=$((total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}')))
    fi
  done
  echo "$total"
}
ticks_per_second=$(getconf CLK_TCK)

# run <label> <pids> <connections> <url> [wrk args...]: one wrk run, one result line.
run() {
  local label=$1 pids_of_server=$2 connections=$3 url=$4
  shift 4
  local before after out requests rps
  before=$(cpu_ticks $pids_of_server)
  out=$(wrk -t2 -c"$connections" -d"${duration}s" "$@" "$url")
  after=$(cpu_ticks $pids_of_server)
  requests=$(awk '/requests in/ {print $1}' <<<"$out")
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  local errors
  errors=$(awk '/Non-2xx|Socket errors/ {printf "%s ", $0}' <<<"$out")
  awk -v l="$label" -v c="$connections" -v r="$rps" -v t=$((after - before)) -v n="$requests" \
      -v hz="$ticks_per_second" -v e="$errors" \
      'BEGIN {printf "%-28s c=%-3d %10.0f req/s %8.1f us CPU/request %s\n", l, c, r, (n > 0 ? t / hz / n * 1e6 : 0), e}'
}

# start_server <keepalive|close>: starts transport_server, sets server_pid and server_port.
start_server() {
  local mode=$1
  local fifo="$work/server-$mode.out"
  "$build/bin/transport_server" "$mode" >"$fifo" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 100); do
    grep -q '^port ' "$fifo" 2>/dev/null && break
    sleep 0.05
  done
  server_port=$(awk '/^port / {print $2}' "$fifo")
  [[ -n "$server_port" ]] || { cat "$fifo"; exit 1; }
}

# add_script <port> <close|keep>: the wrk script of an Add call on a fresh session.
add_script() {
  local port=$1 mode=$2 body cookie
  body='Function=Add&Params=%7B%22A%22%3A2%2C%22B%22%3A3%2C%22Info%22%3A%22x%22%7D'
  # The first call starts the session and answers with its cookie.
  cookie=$(curl -s -D - -o /dev/null --data "$body" "http://127.0.0.1:$port/appservice/" |
           awk 'tolower($1) == "set-cookie:" {sub(/;.*/, "", $2); print $2; exit}')
  [[ -n "$cookie" ]] || { echo "no session cookie from the server"; exit 1; }
  curl -s -H "Cookie: $cookie" --data "$body" "http://127.0.0.1:$port/appservice/" |
    grep -q 'Result={"Result":5' || { echo "the Add call did not answer 5"; exit 1; }
  local script="$work/add-$mode.lua"
  cat >"$script" <<LUA
wrk.method = "POST"
wrk.body = "$body"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
wrk.headers["Cookie"] = "$cookie"
LUA
  if [[ $mode == close ]]; then
    echo 'wrk.headers["Connection"] = "close"' >>"$script"
  fi
  echo "$script"
}

echo "wrk -t2 -d${duration}s on $(nproc) cores; $(date -u '+%F %T') UTC"
start_nginx_pong "$work"
start_server close
close_pid=$server_pid close_port=$server_port
add_close=$(add_script "$close_port" close)
for c in 16 64; do
  run "nginx Pong (close)" "$(nginx_pong_pids)" "$c" "http://127.0.0.1:$nginx_port/" -H "Connection: close"
  run "/\$/ping (close)" "$close_pid" "$c" "http://127.0.0.1:$close_port/\$/ping" -H "Connection: close"
  run "Add on a session (close)" "$close_pid" "$c" "http://127.0.0.1:$close_port/appservice/" -s "$add_close"
done
kill "$close_pid"

start_server keepalive
keep_pid=$server_pid keep_port=$server_port
add_keep=$(add_script "$keep_port" keep)
for c in 16 64; do
  run "nginx Pong (keep-alive)" "$(nginx_pong_pids)" "$c" "http://127.0.0.1:$nginx_port/"
  run "/\$/ping (keep-alive)" "$keep_pid" "$c" "http://127.0.0.1:$keep_port/\$/ping"
  run "Add on a session (keep-alive)" "$keep_pid" "$c" "http://127.0.0.1:$keep_port/appservice/" -s "$add_keep"
done
