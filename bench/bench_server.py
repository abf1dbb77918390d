"""The chat-completions server (`pinnet serve`) on the bench-gen3 model:
requests per second with 1 and 4 concurrent clients, each sending the
bench query with the five tools and max_tokens 16 over its own keep-alive
connection for ROUNDS requests after one warm-up.

Lines (one JSON object each):
  server_requests  clients, requests, seconds (wall), requests_per_s,
                   p50_seconds / p90_seconds (one request's latency),
                   completion_tokens (of the last reply)

The server runs in a child process with the default pool (PINNET_NUM_THREADS
or every core). Needs the server extra (starlette, uvicorn); skipped
without it. The module comes from PYTHONPATH (bench/run puts
build/bench/src/python there).

Usage: python3 bench/bench_server.py [filter]
"""

import http.client
import json
import os
import socket
import statistics
import subprocess
import sys
import threading
import time

from timing import OtherLoad, emit, ready

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODEL = os.path.join(ROOT, "build", "cache", "bench-gen3.tesk")
CLIENTS = (1, 4)
ROUNDS = 12
QUERY = ("I'm flying from Lisbon to Zürich next Friday and back on Sunday — what will the "
         "weather be like there, in celsius please?")


def wrapped_tools():
    with open(os.path.join(ROOT, "bench", "five_tools.json"), encoding="utf-8") as f:
        return [t if t.get("type") == "function" else {"type": "function", "function": t}
                for t in json.load(f)]


def start_server():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.Popen([sys.executable, "-m", "pinnet_tools.cli", "serve", MODEL,
                             "--port", str(port)], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    for _ in range(600):
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=1)
            conn.request("GET", "/health")
            if conn.getresponse().status == 200:
                return proc, port
        except OSError:
            time.sleep(0.1)
    proc.kill()
    raise RuntimeError("the server did not start")


def client(port, body, rounds, latencies, replies):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    for i in range(rounds + 1):
        start = time.perf_counter()
        conn.request("POST", "/v1/chat/completions", body, {"Content-Type": "application/json"})
        reply = json.loads(conn.getresponse().read())
        if i:  # the first request of each client warms it up
            latencies.append(time.perf_counter() - start)
        replies.append(reply)


def main(filt):
    if filt not in "server_requests" or not ready("bench_server", MODEL,
                                                   ["gen3", "--preset", "bench-gen3"]):
        return
    try:
        import starlette, uvicorn  # noqa: F401
    except ImportError:
        print("bench_server: the server extra is not installed; skipped", file=sys.stderr)
        return
    body = json.dumps({"model": "bench-gen3", "max_tokens": 16, "tools": wrapped_tools(),
                       "messages": [{"role": "user", "content": QUERY}]})
    proc, port = start_server()
    try:
        for n in CLIENTS:
            latencies, replies = [], []
            threads = [threading.Thread(target=client, args=(port, body, ROUNDS, latencies, replies))
                       for _ in range(n)]
            load = OtherLoad()
            start = time.perf_counter()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            wall = time.perf_counter() - start
            done = n * (ROUNDS + 1)
            emit({"name": "server_requests", "clients": n, "requests": done,
                  "seconds": round(wall, 3), "requests_per_s": round(done / wall, 2),
                  "p50_seconds": round(statistics.median(latencies), 4),
                  "p90_seconds": round(statistics.quantiles(latencies, n=10)[-1], 4),
                  "completion_tokens": replies[-1]["usage"]["completion_tokens"],
                  "prompt_tokens": replies[-1]["usage"]["prompt_tokens"]}, load)
    finally:
        proc.terminate()
        proc.wait(timeout=30)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "")
