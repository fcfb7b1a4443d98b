#!/usr/bin/env bash
# What hostile caller SQL makes the program hold, on a 5 000-row table, in a private
# application folder on a free port (Release build, or the program given):
#   - memory: the program's peak resident memory (VmHWM) while N sessions (default 16) each run
#     a page of four values of about 16 MB of control characters at once, through
#     "/rest/sqlselect" and then through FetchData; every such value grows sixfold when escaped;
#   - temporary disk: the peak use of the temporary folder's file system while one session
#     sorts 2 000 000 rows of 10 000 bytes (polled with df every 0.1 s), and what is left in
#     use once the query has ended.
#   bench/untrusted_sql.sh [sessions] [program]
# Each query is sent three times: built with printf, and built with replace() alone, which
# stays within any list of allowed functions, from control characters and from letters.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/load_support.sh"
sessions=${1:-16}
program=${2:-}
command -v curl > /dev/null || { echo "needs curl (apt-get install curl)"; exit 1; }
command -v sqlite3 > /dev/null || { echo "needs sqlite3 (apt-get install sqlite3)"; exit 1; }
if [ -z "$program" ]; then
  "$root/scripts/install-deps" bench
  build="$root/build-bench"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPSRV_BUILD_TESTS=OFF \
        -DAPPSRV_BUILD_BENCH=ON > /dev/null
  cmake --build "$build" -j "$(nproc)" --target appserver > /dev/null
  program="$build/bin/appserver"
fi

work=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2> /dev/null; then kill -TERM "$pid"; wait "$pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cp "$program" "$work/appserver"
printf '[PORTS]\nPort=0\n' > "$work/port.ini"
mkdir "$work/wwwroot" "$work/jars" "$work/tmp"
sqlite3 "$work/TEST.mdb" "CREATE TABLE orders(OrderID INTEGER PRIMARY KEY, Amount MONEY);
  WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000)
  INSERT INTO orders SELECT i, i * 0.5 FROM n;"
start_console "$work" TMPDIR="$work/tmp"
base="http://127.0.0.1:$port"
hwm() { awk '/^VmHWM/ { printf "%.0f MB", $2 / 1024 }' "/proc/$pid/status"; }
reset_hwm() { echo 5 > "/proc/$pid/clear_refs"; }  # the peak starts again from what is resident
rss() { awk '/^VmRSS/ { printf "%.0f MB", $2 / 1024 }' "/proc/$pid/status"; }
for i in $(seq "$sessions"); do
  curl -s -c "$work/jars/$i" -b "$work/jars/$i" -o /dev/null "$base/rest/sqlselect?tblNames=orders"
done
echo "program: $program"
echo "resident memory with $sessions sessions: $(rss)"

# 16 000 000 control characters; 3 x 2^22 (12 582 912) of them by doubling; and as many
# letters, which escaping does not grow: four of them fill most of a 64 MiB page.
printf_value="printf('%.*c',16000000,char(1))"
doubled="char(1)||char(1)||char(1)"
for _ in $(seq 22); do doubled="replace($doubled,char(1),char(1)||char(1))"; done
letters="'xxx'"
for _ in $(seq 22); do letters="replace($letters,'x','xx')"; done

# The message of an error page, or the start of a reply.
message() {
  sed -n 's/.*<div class="message">\([^<]*\)<.*/\1/p' "$1" | sed 's/&#32;/ /g; s/&#58;/:/g; s/&#59;/;/g' | head -c 160
  grep -q '<div class="message">' "$1" || head -c 100 "$1" | tr -c '[:print:]' '.'
}
# Runs `curl args` for every session at once; prints the status codes seen and how often.
all_sessions() {
  local calls=()
  for i in $(seq "$sessions"); do
    curl -s -b "$work/jars/$i" -o "$work/reply.$i" -w '%{http_code}\n' "$@" >> "$work/codes" &
    calls+=($!)
  done
  wait "${calls[@]}" || true  # not the program, which runs in the background too
  echo "replies: $(sort "$work/codes" | uniq -c | xargs)  ($(message "$work/reply.1"))"
  rm -f "$work/codes"
}
for built in printf replace letters; do
  value=$printf_value
  [ "$built" = replace ] && value=$doubled
  [ "$built" = letters ] && value=$letters
  # Ordered by the key, so that no sort holds or spills the values: only the reply's building.
  reset_hwm
  all_sessions -G --data-urlencode "tblNames=orders" --data-urlencode "fldNames=$value" \
    --data-urlencode "orderBy=OrderID" --data-urlencode "rp=4" "$base/rest/sqlselect"
  echo "sqlselect, $sessions sessions at once ($built): peak resident memory $(hwm)"
  reset_hwm
  all_sessions --data-urlencode "Function=FetchData" --data-urlencode \
    "Params={\"PageNo\":1,\"PageSize\":4,\"TableName\":\"(SELECT $value AS v FROM orders)\"}" \
    "$base/appservice/"
  echo "FetchData, $sessions sessions at once ($built): peak resident memory $(hwm)"
done

# The sort: rows built from allowed functions only, sorted by their 10 000-byte text.
rows="(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000000),
  w(s) AS (SELECT group_concat('0123456789', '') FROM n WHERE i <= 1000)
  SELECT i, i || s AS b FROM n, w)"
used_kb() { df -k --output=used "$work/tmp" | tail -1; }
idle=$(used_kb)
curl -s -b "$work/jars/1" -o "$work/sort" -G --data-urlencode "tblNames=$rows" \
  --data-urlencode "orderBy=b" --data-urlencode "rp=1" "$base/rest/sqlselect" &
query=$!
peak=0
while kill -0 "$query" 2> /dev/null; do
  now=$(( $(used_kb) - idle ))
  [ "$now" -gt "$peak" ] && peak=$now
  sleep 0.1
done
echo "sort: $(message "$work/sort")"
echo "sort: temporary disk peak $(( peak / 1024 )) MB, after the query $(( ($(used_kb) - idle) / 1024 )) MB"
