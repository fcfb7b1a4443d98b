#!/usr/bin/env bash
# The temporary disk one hostile "/rest/sqlselect" takes: a million rows of 10 000 random bytes
# sorted by the blob, which SQLite spills to temporary files. The program (Release, in
# build-bench) runs in a private application folder on a free port, with SQLite's temporary
# files in a folder of its own (SQLITE_TMPDIR). While the query runs, every 0.1 s:
#   - df: bytes used on the temporary folder's filesystem, above what was used before;
#   - the bytes the program's open temporary files hold (SQLite unlinks them at open, so
#     they are found through /proc/<pid>/fd; du of the folder sees none of them).
# Prints the peaks, the answer's status and its message.
#   bench/hostile_sql_disk.sh [MaxTempBytes] [ReadTimeoutMs]
#     default: the program's defaults (256 MiB, 30 000 ms). "0 10000" is the "before" figure:
#     no cap, the query stopped by a 10 s deadline (about 2-3 GB of disk: check df first).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
max_temp=${1:-}
timeout_ms=${2:-}
"$root/scripts/install-deps"
command -v curl >/dev/null || { echo "needs curl (apt-get install curl)"; exit 1; }

build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPSRV_BUILD_TESTS=OFF \
      -DAPPSRV_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target appserver >/dev/null

work=$(mktemp -d)
pid=
cleanup() {
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid"; wait "$pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cp "$build/bin/appserver" "$work/"
mkdir "$work/wwwroot" "$work/tmp"
{
  printf '[PORTS]\nPort=0\n[LIMITS]\n'
  [[ -n "$max_temp" ]] && printf 'MaxTempBytes=%s\n' "$max_temp"
  [[ -n "$timeout_ms" ]] && printf 'ReadTimeoutMs=%s\n' "$timeout_ms"
} >"$work/port.ini"
mkfifo "$work/in"

(cd "$work" && SQLITE_TMPDIR="$work/tmp" exec ./appserver <"$work/in" >"$work/out" 2>&1) &
pid=$!
exec 3>"$work/in"  # keeps the console's input open
port=
for _ in $(seq 1000); do
  port=$(sed -n 's/^HTTP Server is active on port: //p' "$work/out")
  [[ -n "$port" ]] && break
  sleep 0.01
done
[[ -n "$port" ]] || { cat "$work/out"; exit 1; }
base="http://127.0.0.1:$port"

# The first call earns the session cookie.
curl -s -c "$work/jar" -b "$work/jar" -o /dev/null "$base/appservice/"

used_bytes() { df -B1 --output=used "$work/tmp" | tail -1 | tr -d ' '; }
# Bytes on disk of the program's open temporary files (unlinked "etilqs_*").
held_bytes() {
  local total=0 fd target blocks
  for fd in /proc/"$pid"/fd/*; do
    target=$(readlink "$fd" 2>/dev/null) || continue
    [[ $target == *etilqs_* ]] || continue
    blocks=$(stat -L -c '%b*%B' "$fd" 2>/dev/null) || continue
    total=$((total + blocks))
  done
  echo "$total"
}

query='(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<1000000) SELECT i, randomblob(10000) AS b FROM n)'
echo "temporary folder's filesystem before: $(df -h --output=avail "$work/tmp" | tail -1 | tr -d ' ') free"
before=$(used_bytes)
start=$(date +%s%N)
curl -s -b "$work/jar" -o "$work/answer" -w '%{http_code}' -G "$base/rest/sqlselect" \
     --data-urlencode "tblNames=$query" --data-urlencode 'orderBy=b' >"$work/status" &
client=$!
peak_df=0
peak_held=0
while kill -0 "$client" 2>/dev/null; do
  grown=$(( $(used_bytes) - before ))
  (( grown > peak_df )) && peak_df=$grown
  held=$(held_bytes)
  (( held > peak_held )) && peak_held=$held
  sleep 0.1
done
wait "$client" || true
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))

mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
echo "settings: MaxTempBytes=${max_temp:-default} ReadTimeoutMs=${timeout_ms:-default}"
echo "answer: status $(cat "$work/status") after $elapsed ms: $(sed 's/&#32;/ /g' "$work/answer" | grep -o 'The query[^<]*' | head -1)"
echo "peak growth of the filesystem's used space: $(mib "$peak_df")"
echo "peak held by the program's temporary files: $(mib "$peak_held")"
echo "held after the answer: $(mib "$(held_bytes)"); du of the temporary folder: $(du -sh "$work/tmp" | cut -f1)"
echo "reproduce: bench/hostile_sql_disk.sh ${max_temp} ${timeout_ms}"
