"""Drives `pinnet serve` with many clients at once, on loopback only, for a
bounded time, and checks every answer.

    python bench/load_server.py [--model PATH] [--clients 32] [--seconds 60]

Each client loops over a mix of requests: whole and streamed tool calls,
plain chats without tools, malformed requests and streams it abandons after
the first event. A whole or streamed answer must equal what the same model
answers in this process for the same turn (so nothing is lost, duplicated or
crossed between clients); a malformed request must get 400. The server's
resident memory is sampled every second. Prints one JSON object per line:
per kind, requests, errors and latency percentiles; then the totals, with
requests per second and the memory at a third of the run and at its end.
Exit status 1 when any answer was wrong, lost or an error."""
from __future__ import annotations

import argparse
import http.client
import json
import os
import random
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from pinnet_tools.chat import Model  # noqa: E402
from pinnet_tools.models import DEMO_MODEL, demo_tools_json  # noqa: E402

QUERIES = [
    "What's the weather in Lisbon?", "Set a timer for 25 minutes", "weather in oslo",
    "Send Omar Haddad an email about the party", "Translate good morning into French",
    "Add lunch with Sam on Friday at 12:30 pm to my calendar", "timer 5 min",
    "Email Priya Chen about the budget", "Is it raining in Montevideo?", "Lock the front door",
    "How do you say thank you in Japanese?", "Hi there!", "Start a 45 minute countdown",
    "Schedule the design review for Monday at 2:00 pm", "What's it like in Nairobi today?",
    "Tell me a joke",
]
MAX_TOKENS = 64
MALFORMED = [b"{not json", b'{"model": "M", "messages": []}',
             b'{"model": "M", "messages": [{"role": "user", "content": "hi"}], "tools": "x"}',
             b'{"model": "M", "messages": [{"role": "user", "content": "hi"}], "temperature": 9}']
KINDS = (("whole", 0.35), ("stream", 0.25), ("chat", 0.15), ("malformed", 0.15),
         ("abandon", 0.10))


def rss_mb(pid: int) -> float:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


class Load:
    def __init__(self, port: int, model: Model, seed: int):
        self.port, self.model, self.rng = port, model, random.Random(seed)
        self.tools = [{"type": "function", "function": t} for t in json.loads(demo_tools_json())]
        self.expected: dict = {}
        self.lock = threading.Lock()
        self.latency = {k: [] for k, _ in KINDS}
        self.failures: list = []

    def expect(self, query: str, with_tools: bool):
        """The in-process answer (name, arguments, content) of a turn."""
        key = (query, with_tools)
        with self.lock:
            if key in self.expected:
                return self.expected[key]
        r = self.model.answer(query, self.tools if with_tools else None, "auto", MAX_TOKENS)
        value = (r.name, r.arguments, None if r.name else r.parts.get("content"))
        with self.lock:
            self.expected[key] = value
        return value

    def body(self, query: str, with_tools: bool, stream: bool) -> bytes:
        b = {"model": self.model.name, "max_tokens": MAX_TOKENS, "stream": stream,
             "messages": [{"role": "user", "content": query}]}
        if with_tools:
            b["tools"] = self.tools
        return json.dumps(b).encode()

    def post(self, data: bytes) -> http.client.HTTPResponse:
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120)
        conn.request("POST", "/v1/chat/completions", data,
                     {"Content-Type": "application/json"})
        return conn, conn.getresponse()

    def one(self, kind: str, rng: random.Random) -> None:
        query = rng.choice(QUERIES)
        if kind == "malformed":
            conn, r = self.post(rng.choice(MALFORMED).replace(b'"M"', json.dumps(
                self.model.name).encode()))
            r.read()
            conn.close()
            if r.status != 400:
                raise AssertionError(f"malformed request got {r.status}")
            return
        with_tools = kind != "chat"
        stream = kind in ("stream", "abandon")
        conn, r = self.post(self.body(query, with_tools, stream))
        if r.status != 200:
            raise AssertionError(f"{kind} {query!r}: status {r.status}: {r.read()[:200]!r}")
        if kind == "abandon":
            r.readline()
            conn.sock.shutdown(socket.SHUT_RDWR)
            conn.close()
            return
        if stream:
            name = arguments = None
            content = ""
            for line in r:
                line = line.strip()
                if not line.startswith(b"data: ") or line == b"data: [DONE]":
                    continue
                delta = json.loads(line[6:])["choices"][0]["delta"]
                content += delta.get("content") or ""
                for call in delta.get("tool_calls") or []:
                    name = call["function"]["name"]
                    arguments = json.loads(call["function"]["arguments"])
            got = (name, arguments, None if name else (content or None))
        else:
            msg = json.loads(r.read())["choices"][0]["message"]
            call = (msg.get("tool_calls") or [None])[0]
            got = ((call["function"]["name"], json.loads(call["function"]["arguments"]),
                    None) if call else (None, None, msg.get("content")))
        conn.close()
        want = self.expect(query, with_tools)
        if got != want:
            raise AssertionError(f"{kind} {query!r}: got {got}, expected {want}")

    def client(self, seed: int, until: float) -> None:
        rng = random.Random(seed)
        kinds, weights = zip(*KINDS)
        while time.monotonic() < until:
            kind = rng.choices(kinds, weights)[0]
            t = time.monotonic()
            try:
                self.one(kind, rng)
            except Exception as e:  # every failure is counted and reported
                with self.lock:
                    self.failures.append(f"{type(e).__name__}: {e}")
                continue
            with self.lock:
                self.latency[kind].append(time.monotonic() - t)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", default=str(DEMO_MODEL))
    ap.add_argument("--clients", type=int, default=32)
    ap.add_argument("--seconds", type=float, default=60.0)
    args = ap.parse_args(argv)

    model = Model(args.model)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
    server = subprocess.Popen([sys.executable, "-m", "pinnet_tools.cli", "serve", args.model,
                               "--port", str(port), "--max-in-flight", str(args.clients * 2)],
                              env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(600):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        load = Load(port, model, 0)
        for q in QUERIES:  # expected answers first, so the run measures the server only
            load.expect(q, True)
            load.expect(q, False)
        start = time.monotonic()
        until = start + args.seconds
        threads = [threading.Thread(target=load.client, args=(i, until), daemon=True)
                   for i in range(args.clients)]
        for t in threads:
            t.start()
        rss = []
        while time.monotonic() < until:
            rss.append((time.monotonic() - start, rss_mb(server.pid)))
            time.sleep(1.0)
        for t in threads:
            t.join(timeout=180)
        elapsed = time.monotonic() - start
    finally:
        server.terminate()
        server.wait(timeout=60)

    total = 0
    for kind, lat in load.latency.items():
        total += len(lat)
        lat = sorted(lat)
        q = (lambda p: round(lat[min(len(lat) - 1, int(p * len(lat)))] * 1e3, 1)) if lat else (
            lambda p: None)
        print(json.dumps({"name": "server_load", "kind": kind, "requests": len(lat),
                          "p50_ms": q(0.5), "p99_ms": q(0.99)}))
    third = [m for t, m in rss if t >= args.seconds / 3]
    print(json.dumps({"name": "server_load", "kind": "all", "clients": args.clients,
                      "seconds": round(elapsed, 1), "requests": total,
                      "requests_per_s": round(total / elapsed, 2), "failures": len(load.failures),
                      "rss_mb_at_third": third[0] if third else None,
                      "rss_mb_at_end": rss[-1][1] if rss else None,
                      "rss_mb_median": statistics.median(m for _, m in rss) if rss else None}))
    for f in load.failures[:10]:
        print(f, file=sys.stderr)
    return 1 if load.failures or total == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
