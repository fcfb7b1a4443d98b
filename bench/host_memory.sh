#!/usr/bin/env bash
# Measures the program as the run command builds it (Release, no sanitizers), in a private
# application folder on a free port:
#   - the time from starting the program to its first served request ("/$/ping");
#   - its resident memory idle, after N sessions (default 1 000) that each called "Add", and
#     after those sessions expired (each calls "/appservice/CloseSession", which lets it expire
#     after one idle minute; the expiry pass runs every minute, so this waits up to ~3 minutes).
#   bench/host_memory.sh [sessions]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/load_support.sh"
sessions=${1:-1000}
"$root/scripts/install-deps"
command -v curl > /dev/null || { echo "needs curl (apt-get install curl)"; exit 1; }

build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPSRV_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" -j "$(nproc)" --target appserver > /dev/null

work=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2> /dev/null; then kill -TERM "$pid"; wait "$pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
ln "$build/bin/appserver" "$work/appserver" 2> /dev/null || cp "$build/bin/appserver" "$work/"
printf '[PORTS]\nPort=0\n' > "$work/port.ini"
mkdir "$work/wwwroot" "$work/jars"

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
rss() { awk '/^VmRSS/ { print $2 " kB" }' "/proc/$pid/status"; }
# Asks the console for its status and prints the active session count.
active_sessions() {
  echo status >&3
  local deadline=$(( $(now_ms) + 10000 ))
  local before=$1
  while [ "$(now_ms)" -lt "$deadline" ]; do
    local count
    count=$(grep -c '^Active Sessions: ' "$work/out" || true)
    if [ "$count" -gt "$before" ]; then
      grep '^Active Sessions: ' "$work/out" | tail -1 | cut -d' ' -f3
      return
    fi
    sleep 0.05
  done
  echo "?"
}

start=$(now_ms)
start_console "$work"
base="http://127.0.0.1:$port"
until curl -s -o /dev/null "$base/\$/ping"; do sleep 0.005; done
first=$(now_ms)
echo "start-up to the first served request: $(( first - start )) ms"

sleep 2
echo "resident memory idle: $(rss)"

body='Function=Add&Params={"A":2,"B":3,"Info":"x"}'
for i in $(seq "$sessions"); do
  # The first call earns the session cookie (start page); the second runs Add in the session.
  curl -s -c "$work/jars/$i" -b "$work/jars/$i" -d "$body" -o /dev/null "$base/appservice/"
  curl -s -b "$work/jars/$i" -d "$body" -o "$work/answer" "$base/appservice/"
done
echo "last answer: $(cat "$work/answer")"
echo "active sessions: $(active_sessions 0)"
echo "resident memory after $sessions sessions that called Add: $(rss)"

for i in $(seq "$sessions"); do
  curl -s -b "$work/jars/$i" -o /dev/null "$base/appservice/CloseSession"
done
expired=
for _ in $(seq 40); do
  sleep 5
  seen=$(grep -c '^Active Sessions: ' "$work/out" || true)
  if [ "$(active_sessions "$seen")" = 0 ]; then expired=yes; break; fi
done
[ -n "$expired" ] || echo "(sessions had not all expired after 200 s)"
sleep 1
echo "resident memory after those sessions expired: $(rss)"
