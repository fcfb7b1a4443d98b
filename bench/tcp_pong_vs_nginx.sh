#!/usr/bin/env bash
# Connection-per-request load on our TCP server (bench/tcp_pong.cc) beside Debian's nginx, both on
# loopback answering a fixed 4-byte "Pong", with wrk at concurrency 16 and 64, alternating the
# servers. Prints requests per second and server CPU time per request (utime + stime from
# /proc, all threads / all nginx processes) for each, and our share of nginx's figures. A third
# row, "1thread", is our server serving every connection on its listening thread: no connection
# threads, so the difference to "ours" is what starting and ending a connection thread costs.
#   bench/tcp_pong_vs_nginx.sh [seconds per run, default 5] [rounds, default 2]
# The machine's other load moves absolute figures; compare the ratios of one run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
duration=${1:-5}
rounds=${2:-2}

need=()
command -v wrk >/dev/null || need+=(wrk)
[ -x /usr/sbin/nginx ] || need+=(nginx-light)
if ((${#need[@]} > 0)); then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${need[@]}"
fi

build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPSRV_BUILD_TESTS=OFF \
      -DAPPSRV_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target tcp_pong >/dev/null

work=$(mktemp -d)
pong_pid=
one_pid=
source "$root/bench/nginx_pong.sh"
cleanup() {
  [ -n "$pong_pid" ] && kill "$pong_pid" 2>/dev/null && wait "$pong_pid" 2>/dev/null
  [ -n "$one_pid" ] && kill "$one_pid" 2>/dev/null && wait "$one_pid" 2>/dev/null
  stop_nginx_pong
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Our server, and our server without connection threads.
"$build/bin/tcp_pong" >"$work/pong.out" &
pong_pid=$!
"$build/bin/tcp_pong" 0 one-thread >"$work/one.out" &
one_pid=$!
for _ in $(seq 100); do
  grep -q '^port ' "$work/pong.out" 2>/dev/null && grep -q '^port ' "$work/one.out" 2>/dev/null && break
  sleep 0.05
done
pong_port=$(awk '/^port /{print $2}' "$work/pong.out")
one_port=$(awk '/^port /{print $2}' "$work/one.out")

start_nginx_pong "$work"

# CPU ticks of a process and, for nginx, of its workers too.
ticks_of() {
  local total=0 pid
  for pid in "$@"; do
    [ -r "/proc/$pid/stat" ] || continue
    # Fields after the command name; utime and stime are the 14th and 15th fields overall.
    local -a f
    read -ra f <<<"$(sed 's/^.*) //' "/proc/$pid/stat")"
    total=$((total + f[11] + f[12]))
  done
  echo "$total"
}
pids_of() {
  case $1 in
    ours) echo "$pong_pid" ;;
    1thread) echo "$one_pid" ;;
    *) nginx_pong_pids ;;
  esac
}
hz=$(getconf CLK_TCK)

declare -A rps cpu
run() {  # server port connections
  local server=$1 port=$2 conns=$3 before after out requests
  before=$(ticks_of $(pids_of "$server"))
  out=$(wrk -t2 -c"$conns" -d"${duration}s" -H "Connection: close" "http://127.0.0.1:$port/")
  after=$(ticks_of $(pids_of "$server"))
  requests=$(echo "$out" | awk '/requests in/{print $1}')
  local r
  r=$(echo "$out" | awk '/Requests\/sec/{print $2}')
  local us
  us=$(awk -v t=$((after - before)) -v hz="$hz" -v n="$requests" 'BEGIN{printf "%.1f", (n > 0 ? t*1e6/hz/n : 0)}')
  printf '%-7s c=%-3s %10s req/s %8s us CPU/request  (%s requests)\n' "$server" "$conns" "$r" "$us" "$requests"
  rps[$server,$conns]="${rps[$server,$conns]:-} $r"
  cpu[$server,$conns]="${cpu[$server,$conns]:-} $us"
}

echo "wrk -t2 -c{16,64} -d${duration}s -H 'Connection: close'; ours on port $pong_port," \
     "1thread on $one_port, nginx on $nginx_port"
for round in $(seq "$rounds"); do
  for conns in 16 64; do
    run ours "$pong_port" "$conns"
    run 1thread "$one_port" "$conns"
    run nginx "$nginx_port" "$conns"
  done
done

mean() { echo "$@" | awk '{s=0; for(i=1;i<=NF;i++) s+=$i; printf "%.1f", NF ? s/NF : 0}'; }
echo
for conns in 16 64; do
  o_r=$(mean ${rps[ours,$conns]}); n_r=$(mean ${rps[nginx,$conns]})
  o_c=$(mean ${cpu[ours,$conns]}); n_c=$(mean ${cpu[nginx,$conns]})
  awk -v c="$conns" -v or="$o_r" -v nr="$n_r" -v oc="$o_c" -v nc="$n_c" 'BEGIN{
    printf "c=%-3s ours %.0f req/s, nginx %.0f req/s: %.0f%% of nginx (goal >= 60%%); CPU/request ours %.1f us, nginx %.1f us: %.2fx (goal <= 2x)\n",
      c, or, nr, (nr > 0 ? 100*or/nr : 0), oc, nc, (nc > 0 ? oc/nc : 0)}'
  t_c=$(mean ${cpu[1thread,$conns]})
  awk -v c="$conns" -v oc="$o_c" -v tc="$t_c" 'BEGIN{
    printf "c=%-3s without connection threads %.1f us CPU/request: a connection thread costs %.1f us\n",
      c, tc, oc - tc}'
done
