"""The shipped demo model end to end: held-out queries with the demo's five
tools, greedy, at PINNET_NUM_THREADS = 1 and 2 (a child process each).

Lines (one JSON object each, medians over the queries):
  demo_query    generate(): seconds per query, tokens generated, prompt tokens
  demo_decode   one decode step: the median gap between consecutive deltas of
                generate_stream (each id gives one delta), as tokens/s
  demo_prefill  call to first delta (prefill and one step), as prompt tokens/s

Usage: python3 bench/bench_demo_model.py [filter]
"""

import json
import statistics
import sys
import time

from timing import OtherLoad, emit, per_thread_count

NAMES = ("demo_query", "demo_decode", "demo_prefill")
QUERIES = 24


def child(filt, threads):
    import pinnet_rs
    from pinnet_tools.models import DEMO_MODEL, demo_tools_json
    from pinnet_tools.train import data

    engine = pinnet_rs.V3Engine.load(str(DEMO_MODEL))
    tools = demo_tools_json()
    names = {t["name"] for t in json.loads(tools)}
    queries = [e.query for e in data.examples(400, split="held_out")
               if e.call and e.call["name"] in names][:QUERIES]
    engine.generate(queries[0], tools)  # warm-up
    load = OtherLoad()
    whole, gaps, first, tokens, prompts = [], [], [], [], []
    for q in queries:
        start = time.perf_counter()
        out = engine.generate(q, tools, max_new_tokens=96)
        whole.append(time.perf_counter() - start)
        tokens.append(len(out["token_ids"]))
        prompts.append(out["positions"] - len(out["token_ids"]))
        stamps = []
        start = time.perf_counter()
        engine.generate_stream(q, tools, lambda delta: stamps.append(time.perf_counter()),
                               max_new_tokens=96)
        first.append(stamps[0] - start)
        gaps += [b - a for a, b in zip(stamps, stamps[1:])]
    base = {"threads": threads, "queries": len(queries), "num_layers": engine.num_layers,
            "prompt_tokens": statistics.median(prompts)}
    if filt in "demo_query":
        emit({"name": "demo_query", **base, "seconds": round(statistics.median(whole), 5),
              "tokens": statistics.median(tokens)}, load)
    if filt in "demo_decode":
        step = statistics.median(gaps)
        emit({"name": "demo_decode", **base, "seconds": round(step, 7),
              "tokens_per_s": round(1 / step)}, load)
    if filt in "demo_prefill":
        emit({"name": "demo_prefill", **base, "seconds": round(statistics.median(first), 5),
              "tokens_per_s": round(statistics.median(prompts) / statistics.median(first))}, load)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[3], int(sys.argv[2]))
        return 0
    filt = sys.argv[1] if len(sys.argv) > 1 else ""
    if not any(filt in n for n in NAMES):
        return 0
    per_thread_count(__file__, "bench_demo_model", filt)
    return 0


if __name__ == "__main__":
    sys.exit(main())
