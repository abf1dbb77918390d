"""V3Engine end to end on the bench-gen3 model (12 blocks of 512, 16384-piece
vocabulary, random weights), one realistic query with 5 tools.

Lines (one JSON object each; seconds are medians over REPEATS calls, the
first call of each kind is a warm-up and also reported as first_seconds):
  v3_ttft                  run_stream: call to first delta (stream_seconds: the whole call)
  v3_run_json              run_json, greedy, budget 256
  v3_generate              generate(), same settings, unconstrained
  v3_generate_constrained  generate(..., constrain=True); tool_call_opened
                           says whether the constraint had anything to act
                           on (a random model rarely writes "<tool_call>",
                           so this mostly measures the tool parse and the
                           decoder setup; the bias itself is measured by
                           bench_constrained)
  v3_decode_step           one decode step (model step, greedy choice, text
                           delta) after this prompt: the median gap between
                           consecutive deltas of the v3_ttft calls (each id
                           of these outputs gives one delta)
  v3_prefix_cache          the prompt-prefix cache: a finished call (budget
                           1: the prompt and one id) cold (the first call
                           with the five tools: the cache cleared before it)
                           and warm (the same tools, a new query each call),
                           per compute form (float, int8) and key/value cache
                           form; median seconds, warm / cold, and the bytes
                           the cache keeps for the tool list
  v3_speculation           one strict call (engine.call, greedy, tool choice
                           "auto") step by step (set_speculation(False,
                           False)) and with forced and drafted ids: median
                           seconds of the whole call, of its prompt pass
                           alone (generate with budget 1), and decode ids
                           per second (completion ids over the call minus
                           the prompt pass), on the queries of this file
                           with the five tools (bench-gen3: random weights,
                           so drafts are rarely kept) and on the demo
                           model's held-out and hand-written queries
                           (model "demo"); same_calls: calls equal both ways
  v3_concurrent_overlap    two Python threads calling generate on one engine
                           at once versus one after the other, pool of 1
each at PINNET_NUM_THREADS = 1 and 2 (a child process per setting, since
the pool reads its size once), except the overlap line (1 thread). The
prompt-prefix cache is disabled but for v3_prefix_cache.
Every line carries other_cores, the processor time other processes took
while it was measured (in cores; the machine may be shared).

The model is written once with
  python3 -m pinnet_tools.gen3 --preset bench-gen3 --out build/cache/bench-gen3.tesk
when missing. The module comes from PYTHONPATH (bench/run puts
build/bench/src/python there).

Usage: python3 bench/bench_v3_engine.py [filter]
"""

import os
import statistics
import subprocess
import sys
import threading
import time

from timing import OtherLoad, emit, ready, timed

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODEL = os.path.join(ROOT, "build", "cache", "bench-gen3.tesk")
NAMES = ("v3_ttft", "v3_run_json", "v3_generate", "v3_generate_constrained", "v3_decode_step",
         "v3_prefix_cache", "v3_speculation", "v3_concurrent_overlap")
THREADS = (1, 2)
REPEATS = 5
BUDGET = 256

QUERY = ("I'm flying from Lisbon to Zürich next Friday and back on Sunday — what will the "
         "weather be like there, in celsius please?")
# Five tools as a caller would pass them (pretty-printed); bench_constrained
# uses the same file.
with open(os.path.join(ROOT, "bench", "five_tools.json"), encoding="utf-8") as _f:
    TOOLS = _f.read()


def child(filt, threads):
    import pinnet_rs

    engine = pinnet_rs.V3Engine.load(MODEL)
    engine.set_prefix_cache_bytes(0)  # every call pays its whole prompt
    base = {"threads": threads, "budget": BUDGET, "num_layers": engine.num_layers,
            "query_chars": len(QUERY), "tools": 5}
    probe = engine.generate(QUERY, TOOLS, max_new_tokens=1)
    prompt_len = probe["positions"] - 1
    base["prompt_tokens"] = prompt_len

    if filt in "v3_ttft" or filt in "v3_decode_step":
        def stream():
            stamps = []
            start = time.perf_counter()
            engine.run_stream(QUERY, TOOLS, lambda delta: stamps.append(time.perf_counter()))
            end = time.perf_counter()
            gaps = [b - a for a, b in zip(stamps, stamps[1:])]
            return (stamps[0] - start if stamps else float("nan")), end - start, gaps, len(stamps)

        load = OtherLoad()
        stream()  # warm-up
        runs = [stream() for _ in range(REPEATS)]
        if filt in "v3_ttft":
            emit({"name": "v3_ttft", **base,
                  "seconds": round(statistics.median(r[0] for r in runs), 6),
                  "stream_seconds": round(statistics.median(r[1] for r in runs), 6)}, load)
        if filt in "v3_decode_step":
            gaps = [g for r in runs for g in r[2]]
            emit({"name": "v3_decode_step", **base,
                  "seconds": round(statistics.median(gaps), 7),
                  "p90_seconds": round(statistics.quantiles(gaps, n=10)[-1], 7),
                  "deltas_per_call": runs[-1][3], "context_from": prompt_len,
                  "context_to": prompt_len + BUDGET}, load)

    if filt in "v3_run_json":
        load = OtherLoad()
        sec, first, payload = timed(lambda: engine.run_json(QUERY, TOOLS))
        out = engine.generate(QUERY, TOOLS)
        emit({"name": "v3_run_json", **base, "seconds": round(sec, 6),
              "first_seconds": round(first, 6), "tokens": len(out["token_ids"]),
              "stop_reason": out["stop_reason"], "tool_call": payload is not None}, load)

    if filt in "v3_generate":
        load = OtherLoad()
        sec, first, out = timed(lambda: engine.generate(QUERY, TOOLS))
        emit({"name": "v3_generate", **base, "seconds": round(sec, 6),
              "first_seconds": round(first, 6), "tokens": len(out["token_ids"]),
              "stop_reason": out["stop_reason"], "constrain": False}, load)

    if filt in "v3_prefix_cache":
        prefix_cache(threads)

    if filt in "v3_speculation":
        speculation(threads)

    if filt in "v3_generate_constrained":
        load = OtherLoad()
        sec, first, out = timed(lambda: engine.generate(QUERY, TOOLS, constrain=True))
        emit({"name": "v3_generate_constrained", **base, "seconds": round(sec, 6),
              "first_seconds": round(first, 6), "tokens": len(out["token_ids"]),
              "stop_reason": out["stop_reason"], "constrain": True,
              "tool_call_opened": "<tool_call>" in out["text"]}, load)


# New queries for the same tools, one per warm call (short to long).
WARM_QUERIES = [
    "Convert 250 euros to Japanese yen.",
    "What time is it in Auckland right now?",
    "Book a table for four at Cervejaria Ramiro tomorrow at 8pm, somewhere we can talk.",
    "weather Oslo",
    "Send an e-mail to my accountant with last month's receipts attached, subject 'March'.",
    "Is it going to rain in Porto this weekend? I need to know whether to pack an umbrella.",
    "How far is Zürich from Geneva by train?",
]


def prefix_cache(threads):
    """Cold and warm finished calls with the prompt-prefix cache."""
    import pinnet_rs

    for compute in ("float", "int8"):
        engine = pinnet_rs.V3Engine.open(MODEL, compute=compute)
        for kv_int8 in (False, True):
            def call(q):
                start = time.perf_counter()
                engine.generate(q, TOOLS, max_new_tokens=1, kv_int8=kv_int8)
                return time.perf_counter() - start

            load = OtherLoad()
            call(QUERY)  # warm-up of the pool and the model's workspaces
            cold = []
            for _ in range(REPEATS):
                engine.clear_prefix_cache()
                cold.append(call(QUERY))
            before = engine.prefix_cache_info()
            warm = [call(q) for q in WARM_QUERIES]
            info = engine.prefix_cache_info()
            c, w = statistics.median(cold), statistics.median(warm)
            emit({"name": "v3_prefix_cache", "threads": threads, "compute": compute,
                  "kv_int8": kv_int8, "budget": 1, "tools": 5,
                  "cold_seconds": round(c, 6), "warm_seconds": round(w, 6),
                  "warm_over_cold": round(w / c, 4), "bytes_per_tool_list": before["bytes"],
                  "entries": info["entries"], "warm_calls": len(warm),
                  "warm_hits": info["hits"] - before["hits"]}, load)


def speculation(threads):
    """Strict calls step by step and with forced and drafted ids."""
    import pinnet_rs

    sets = [("bench-gen3", MODEL, [(q, TOOLS) for q in [QUERY] + WARM_QUERIES])]
    try:
        import json

        from pinnet_tools.models import DEMO_MODEL
        from pinnet_tools.train import evaluate
        demo = [(ex.query, json.dumps(ex.tools)) for ex in evaluate.held_out(20)]
        demo += [(ex.query, json.dumps(ex.tools)) for ex in evaluate.human("demo_tools")[:20]]
        sets.append(("demo", str(DEMO_MODEL), demo))
    except ImportError:
        pass
    for model_name, path, queries in sets:
        engine = pinnet_rs.V3Engine.load(path)
        engine.set_prefix_cache_bytes(0)
        load = OtherLoad()
        rows = {}
        calls = {}
        for mode, switches in (("step", (False, False)), ("fast", (True, True))):
            engine.set_speculation(*switches)
            engine.call(*queries[0])  # warm-up
            call_s, prompt_s, ids = [], [], 0
            calls[mode] = []
            for q, t in queries:
                times, out = [], None
                for _ in range(3):
                    start = time.perf_counter()
                    out = engine.call(q, t)
                    times.append(time.perf_counter() - start)
                p = []
                for _ in range(3):
                    start = time.perf_counter()
                    engine.generate(q, t, max_new_tokens=1)
                    p.append(time.perf_counter() - start)
                call_s.append(statistics.median(times))
                prompt_s.append(statistics.median(p))
                ids += out["completion_tokens"]
                calls[mode].append(out)
            decode_s = max(sum(call_s) - sum(prompt_s), 1e-9)
            rows[mode] = {"seconds": round(statistics.median(call_s), 6),
                          "prompt_seconds": round(statistics.median(prompt_s), 6),
                          "ids": ids, "ids_per_second": round(ids / decode_s, 1)}
        engine.set_speculation()
        same = sum(a == b for a, b in zip(calls["step"], calls["fast"]))
        emit({"name": "v3_speculation", "threads": threads, "model": model_name,
              "queries": len(queries), "step": rows["step"], "fast": rows["fast"],
              "speedup": round(rows["fast"]["ids_per_second"] / rows["step"]["ids_per_second"], 3),
              "same_calls": same}, load)


def overlap(filt):
    import pinnet_rs

    engine = pinnet_rs.V3Engine.load(MODEL)
    engine.set_prefix_cache_bytes(0)
    queries = [QUERY, "Convert 250 euros to Japanese yen and e-mail the result to my accountant."]

    def call(q):
        return engine.generate(q, TOOLS)

    for q in queries:  # warm-up
        call(q)
    load = OtherLoad()
    seq, conc = [], []
    for _ in range(3):
        start = time.perf_counter()
        outs = [call(q) for q in queries]
        seq.append(time.perf_counter() - start)

        barrier = threading.Barrier(len(queries) + 1)
        results = [None] * len(queries)

        def worker(i):
            barrier.wait()
            results[i] = call(queries[i])

        ts = [threading.Thread(target=worker, args=(i,)) for i in range(len(queries))]
        for t in ts:
            t.start()
        barrier.wait()
        start = time.perf_counter()
        for t in ts:
            t.join()
        conc.append(time.perf_counter() - start)
        if [r["token_ids"] for r in results] != [o["token_ids"] for o in outs]:
            print("bench_v3_engine: concurrent calls returned different ids", file=sys.stderr)
    s, c = statistics.median(seq), statistics.median(conc)
    emit({"name": "v3_concurrent_overlap", "threads": 1, "calls": len(queries), "budget": BUDGET,
          "seconds": round(c, 6), "sequential_seconds": round(s, 6),
          "speedup": round(s / c, 3), "cpus": os.cpu_count()}, load)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        mode, filt = sys.argv[2], sys.argv[3]
        if mode == "overlap":
            overlap(filt)
        else:
            child(filt, int(mode))
        return 0
    filt = sys.argv[1] if len(sys.argv) > 1 else ""
    if not any(filt in n for n in NAMES):
        return 0
    if not ready("bench_v3_engine", MODEL, ["gen3", "--preset", "bench-gen3"]):
        return 0
    runs = []
    if any(filt in n for n in NAMES if n != "v3_concurrent_overlap"):
        runs += [str(t) for t in THREADS]
    if filt in "v3_concurrent_overlap":
        runs.append("overlap")
    for mode in runs:
        env = dict(os.environ, PINNET_NUM_THREADS="1" if mode == "overlap" else mode)
        sys.stdout.flush()
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", mode, filt],
                              env=env)
        if done.returncode != 0:
            print(f"bench_v3_engine: the {mode} run failed", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
