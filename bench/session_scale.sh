#!/usr/bin/env bash
# Sessions at scale (bench/session_scale.cc): N sessions that each called FetchData once on a
# 20 000-row table, the program's memory and descriptors after them and after an idle wait,
# and FetchData on an idle session (connection reopened) beside a busy one. Release build.
#   bench/session_scale.sh [sessions] [idle-seconds]      (default 10000 and 70)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps" bench
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPSRV_BUILD_TESTS=OFF \
      -DAPPSRV_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target appserver session_scale >/dev/null
exec "$build/bin/session_scale" "$build/bin/appserver" "$@"
