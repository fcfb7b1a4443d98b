#!/usr/bin/env bash
# Whole requests while slow clients hold every connection slot. The program runs with
# MaxConnections slots (default 2000); that many connections send a partial request head (a
# header line every 10 s, as `slowhttptest -H` does) and reopen as soon as the program closes
# them, first from eight loopback addresses (127.0.0.2-9, each under MaxConnectionsPerClient),
# then all from one (127.0.0.2). Meanwhile a probe from 127.0.0.1 sends a whole "/$/ping" every
# 100 ms; the script prints how many were served, closed without a reply or left unanswered for
# 10 s, and the latency of those served. Release build unless a program is given.
#   bench/slot_recovery.sh [seconds-per-run] [slots] [program]      (default 30, 2000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
slots=${2:-2000}
program=${3:-}
if [ -z "$program" ]; then
  "$root/scripts/install-deps"
  build="$root/build-bench"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPSRV_BUILD_TESTS=OFF \
        -DAPPSRV_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j "$(nproc)" --target appserver >/dev/null
  program="$build/bin/appserver"
fi
# source-path=SCRIPTDIR
# shellcheck source=load_support.sh
source "$root/bench/load_support.sh"
# Every slow connection and the program's own need a descriptor.
ulimit -n "$(ulimit -H -n)"

folder=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$folder"' EXIT
mkdir -p "$folder/wwwroot" "$folder/tmp"
cp "$program" "$folder/appserver"
printf '[PORTS]\nPort=0\n[LIMITS]\nMaxConnections=%s\n' "$slots" > "$folder/port.ini"
start_console "$folder" TMPDIR="$folder/tmp"

echo "program: $program"
echo "slots: $slots; probes every 100 ms for ${seconds} s per run"
for addresses in 8 1; do
  python3 - "$port" "$slots" "$seconds" "$addresses" <<'EOF'
import resource, socket, statistics, sys, threading, time

port, slots, seconds, addresses = (int(a) for a in sys.argv[1:5])
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
head = b"GET / HTTP/1.1\r\nHost: localhost\r\nUser-Agent: slow\r\n"
stop = threading.Event()
reopened = 0

def open_slow(i):
    s = socket.socket()
    s.settimeout(2)
    s.bind((f"127.0.0.{2 + i % addresses}", 0))
    s.connect(("127.0.0.1", port))
    s.sendall(head)
    s.setblocking(False)
    return s

def attack():
    global reopened
    conns = [None] * slots
    last_line = time.monotonic()
    while not stop.is_set():
        for i in range(slots):
            if stop.is_set():
                break
            s = conns[i]
            if s is not None:
                try:
                    if s.recv(4096) == b"":
                        raise OSError("closed")
                    continue  # a reply: leave it to the next round
                except BlockingIOError:
                    continue  # still open
                except OSError:
                    s.close()
                    reopened += 1
            try:
                conns[i] = open_slow(i)
            except OSError:
                conns[i] = None
        if time.monotonic() - last_line >= 10:
            last_line = time.monotonic()
            for s in conns:
                try:
                    if s is not None:
                        s.send(b"X-a: b\r\n")
                except OSError:
                    pass
        time.sleep(0.05)
    for s in conns:
        if s is not None:
            s.close()

attacker = threading.Thread(target=attack)
attacker.start()
time.sleep(5)  # every slot taken
reopened_before = reopened
served, closed, silent, latencies = 0, 0, 0, []
end = time.monotonic() + seconds
while time.monotonic() < end:
    start = time.monotonic()
    try:
        p = socket.create_connection(("127.0.0.1", port), timeout=10)
        p.sendall(b"GET /$/ping HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n")
        reply = b""
        while True:
            block = p.recv(4096)
            if not block:
                break
            reply += block
        p.close()
        if reply.startswith(b"HTTP/1.1 200") and reply.endswith(b"Pong"):
            served += 1
            latencies.append((time.monotonic() - start) * 1000)
        else:
            closed += 1
    except socket.timeout:
        silent += 1
    except OSError:
        closed += 1
    time.sleep(max(0.0, 0.1 - (time.monotonic() - start)))
stop.set()
attacker.join()
total = served + closed + silent
print(f"slow connections from {addresses} address(es): {total} probes, {served} served, "
      f"{closed} closed without reply, {silent} unanswered in 10 s; "
      f"slow connections closed and reopened meanwhile: {reopened - reopened_before}")
if latencies:
    q = (statistics.quantiles(latencies, n=100, method="inclusive") if len(latencies) > 1
         else latencies * 99)
    print(f"  served latency ms: p50 {q[49]:.1f}, p90 {q[89]:.1f}, p99 {q[98]:.1f}, "
          f"max {max(latencies):.1f}")
EOF
  sleep 2  # the program lets go of the last run's connections
done
echo "reproduce: bench/slot_recovery.sh $seconds $slots${3:+ $3}"
