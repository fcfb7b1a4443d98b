#!/usr/bin/env bash
# Runs Debian's testssl.sh against the program's HTTPS listener on loopback (Release build,
# a fresh RSA 2048 certificate from `openssl req -x509`, port.ini SSLPort) and prints the
# protocol, cipher and vulnerability lines of its report (the rating lines too, on a
# testssl.sh that rates); the whole report stays in the file named
# at the end.
#   bench/testssl_https.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# shellcheck source=bench/wrk_run.sh
. "$root/bench/wrk_run.sh"
need_packages testssl.sh:testssl curl:curl openssl:openssl

build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPSRV_BUILD_TESTS=OFF \
      -DAPPSRV_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target appserver >/dev/null

work=$(mktemp -d)
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/app/wwwroot"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj /CN=localhost \
  -keyout "$work/app/key.pem" -out "$work/app/cert.pem" 2>/dev/null
cp "$work/app/cert.pem" "$work/app/root.pem"
app_port=$(free_port)
ln "$build/bin/appserver" "$work/app/appserver" 2>/dev/null || cp "$build/bin/appserver" "$work/app/"
printf '[PORTS]\nPort=0\nSSLPort=%s\n' "$app_port" >"$work/app/port.ini"
(cd "$work/app" && exec ./appserver </dev/null >"$work/app.out" 2>&1) &
app_pid=$!
wait_for_url "https://127.0.0.1:$app_port/\$/ping" -k

report="${TMPDIR:-/tmp}/testssl-appserver.txt"
echo "testssl --color 0 --warnings off https://127.0.0.1:$app_port/\$/ping"
testssl --color 0 --warnings off "https://127.0.0.1:$app_port/\$/ping" >"$report" 2>&1 || true
grep -E '^ (SSLv2|SSLv3|TLS 1(\.[0-3])?) |Overall Grade|Grade cap|Protocol Support|Key Exchange|Cipher Strength|Final Score|NULL ciphers|Export ciphers|LOW:|Triple DES|Obsolete CBC|PFS is offered|Has server cipher order|Negotiated|Strong encryption|Forward Secrecy strong|Heartbleed|ROBOT|Secure Renegotiation|Secure Client-Initiated|CRIME|BREACH|POODLE|SWEET32|BEAST|LUCKY13|RC4' "$report" || true
echo "full report: $report"
