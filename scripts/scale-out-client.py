#!/usr/bin/env python3
"""Client workload for scripts/scale-out-demo.

Each client is one browser-less program with a session of its own: it calls Add, FetchData
and SaveData in a loop through the balancer. Midway the workload kills one instance and then
checks what its clients and everybody else saw:
  - clients of the other instances never saw a failed call or a new session;
  - clients of the killed instance got a new session on a live instance (and how long that
    took);
  - every save answered with success is in the database.
Exit status 0 when every check holds.
"""
import argparse
import http.client
import json
import os
import signal
import subprocess
import sys
import threading
import time
import urllib.parse

COOKIE = "SV_MyApp"


class Client:
    def __init__(self, number, port):
        self.number = number
        self.port = port
        self.conn = None
        self.cookie = None
        self.cookies_seen = []  # (time, cookie)
        self.served_by = []  # (time, server) of each answered call
        self.failures = []  # (time, what)
        self.saved = []  # ids whose save was answered with success
        self.unanswered_saves = []  # ids whose save got no answer
        self.seq = 0

    def _request(self, body):
        if self.conn is None:
            self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        headers = {"Content-Type": "application/x-www-form-urlencoded"}
        if self.cookie:
            headers["Cookie"] = f"{COOKIE}={self.cookie}"
        try:
            self.conn.request("POST", "/appservice/", body=body, headers=headers)
            reply = self.conn.getresponse()
            text = reply.read().decode("utf-8", "replace")
        except (OSError, http.client.HTTPException):
            self.conn.close()
            self.conn = None
            raise
        for name, value in reply.getheaders():
            if name.lower() == "set-cookie" and value.startswith(COOKIE + "="):
                cookie = value[len(COOKIE) + 1:].split(";", 1)[0]
                if cookie != self.cookie:
                    self.cookie = cookie
                    self.cookies_seen.append((time.monotonic(), cookie))
        return reply.status, text, reply.getheader("X-Served-By", "?")

    def call(self, function, params):
        """The call's result object; raises on any failure."""
        body = urllib.parse.urlencode({"Function": function, "Params": json.dumps(params)})
        for _ in range(2):  # the first call of a session earns the cookie only
            status, text, server = self._request(body)
            if status != 200:
                what = "Session is invalid" if "Session is invalid" in text else text[:80]
                raise RuntimeError(f"HTTP {status} from {server}: {what}")
            if text.startswith("Function="):
                self.served_by.append((time.monotonic(), server))
                return json.loads(text.split("\r\nResult=", 1)[1])
        raise RuntimeError("no envelope after the session start")

    def step(self):
        self.seq += 1
        result = self.call("Add", {"A": self.seq, "B": 1, "Info": "x"})
        if result.get("Result") != self.seq + 1:
            raise RuntimeError(f"Add answered {result}")
        result = self.call("FetchData", {"TableName": "items", "PageNo": 1, "PageSize": 10})
        if "XML" not in result:
            raise RuntimeError(f"FetchData answered {str(result)[:200]}")
        item = self.number * 1_000_000 + self.seq
        row = f'<z:row id="{item}" client="{self.number}" seq="{self.seq}" name="c{self.number}"/>'
        params = {"TableName": "items", "KeyFields": "id",
                  "Changes": f"<rs:data><rs:insert>{row}</rs:insert></rs:data>"}
        try:
            result = self.call("SaveData", params)
        except Exception:
            self.unanswered_saves.append(item)
            raise
        if "Error" in result:
            raise RuntimeError(f"SaveData answered {result['Error'][:200]}")
        self.saved.append(item)

    def run(self, stop):
        while not stop.is_set():
            try:
                self.step()
            except Exception as e:  # noqa: BLE001 - every failure is recorded and retried
                self.failures.append((time.monotonic(), str(e)[:200]))
                time.sleep(0.02)


def stored_ids(psql):
    out = subprocess.run(psql + ["-Atc", "select id from items"], check=True,
                         capture_output=True, text=True).stdout
    return {int(line) for line in out.split()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True, help="the balancer's port")
    ap.add_argument("--clients", type=int, default=9)
    ap.add_argument("--seconds", type=float, default=12)
    ap.add_argument("--kill-at", type=float, default=4, help="seconds into the run")
    ap.add_argument("--kill", required=True, help="server name=pid of the instance to kill")
    ap.add_argument("--psql", required=True, help="psql command line reaching the database")
    args = ap.parse_args()
    victim, victim_pid = args.kill.split("=")
    psql = args.psql.split()

    clients = [Client(n + 1, args.port) for n in range(args.clients)]
    # Every client holds its session before the run starts, so each has a home instance.
    for c in clients:
        c.call("Add", {"A": 1, "B": 1})
    home = {c.number: c.served_by[-1][1] for c in clients}

    stop = threading.Event()
    threads = [threading.Thread(target=c.run, args=(stop,)) for c in clients]
    start = time.monotonic()
    for t in threads:
        t.start()
    time.sleep(args.kill_at)
    killed_at = time.monotonic()
    os.kill(int(victim_pid), signal.SIGKILL)
    time.sleep(max(0.0, args.seconds - (killed_at - start)))
    stop.set()
    for t in threads:
        t.join()

    ok = True
    print(f"clients: {len(clients)}; homes: " +
          ", ".join(f"{s}={sum(1 for h in home.values() if h == s)}" for s in sorted(set(home.values()))))
    recover = []
    for c in clients:
        if home[c.number] != victim:
            if c.failures or len(c.cookies_seen) != 1:
                ok = False
                print(f"FAIL client {c.number} on {home[c.number]} noticed the kill: "
                      f"{len(c.failures)} failures, {len(c.cookies_seen)} sessions; "
                      f"first failure: {c.failures[:1]}")
            continue
        after = [(t, s) for t, s in c.served_by if t > killed_at and s != victim]
        new_sessions = [t for t, _ in c.cookies_seen if t > killed_at]
        if not after or c.served_by[-1][1] == victim or not new_sessions:
            ok = False
            print(f"FAIL client {c.number} of {victim} was not served again on a live instance")
            continue
        recover.append(after[0][0] - killed_at)
        print(f"client {c.number}: {victim} -> {after[0][1]}, served again "
              f"{(after[0][0] - killed_at) * 1000:.0f} ms after the kill, "
              f"{len(c.failures)} failed calls in between {[f for _, f in c.failures][:3]}")
    if not recover:
        ok = False
        print(f"FAIL no client had its session on {victim}")

    stored = stored_ids(psql)
    saved = [i for c in clients for i in c.saved]
    missing = [i for i in saved if i not in stored]
    unanswered = [i for c in clients for i in c.unanswered_saves]
    print(f"saves answered with success: {len(saved)}; in the database: {len(saved) - len(missing)}")
    print(f"saves without an answer (killed mid-call): {len(unanswered)}, of which stored: "
          f"{sum(1 for i in unanswered if i in stored)}")
    if missing:
        ok = False
        print(f"FAIL saves answered with success but missing: {missing[:10]}")
    if recover:
        print(f"served again after the kill: max {max(recover) * 1000:.0f} ms, "
              f"min {min(recover) * 1000:.0f} ms")
    print("RESULT: " + ("every check holds" if ok else "a check failed"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
