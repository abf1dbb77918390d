"""V2Engine end to end on the bench-gen2 model (the bench-gen3 widths, depth
and vocabulary, random weights, a contrastive and a confidence head).

Lines (one JSON object each; seconds are medians over the calls, after one
warm-up):
  v2_run_batch            run_batch of 16 queries (with 5 tools each), and
                          the same 16 as separate run calls (runs_seconds),
                          one timed call each after the warm-up
  v2_encode_contrastive   encode_contrastive of a text of about 64 tokens (begin id
                          included; a new one each call)
  v2_retrieve_tools       retrieve_tools over 50 one-line descriptions with a
                          new query each call; first_seconds is the first
                          call, which embeds every description
each at PINNET_NUM_THREADS = 1 and 2 (a child process per setting, since the
pool reads its size once). Every line carries other_cores, the processor
time other processes took while it was measured (in cores).

The model is written once with
  python3 -m pinnet_tools.gen2 --preset bench-gen2 --heads both --out build/cache/bench-gen2.tesk
when missing. The module comes from PYTHONPATH (bench/run puts
build/bench/src/python there).

Usage: python3 bench/bench_v2_engine.py [filter]
"""

import os
import sys

from timing import OtherLoad, emit, per_thread_count, ready, timed

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODEL = os.path.join(ROOT, "build", "cache", "bench-gen2.tesk")
NAMES = ("v2_run_batch", "v2_encode_contrastive", "v2_retrieve_tools")
THREADS = (1, 2)

with open(os.path.join(ROOT, "bench", "five_tools.json"), encoding="utf-8") as _f:
    TOOLS = _f.read()
CITIES = ["Lisbon", "Zürich", "Osaka", "Nairobi", "Lima", "Oslo", "Hanoi", "Quito"]
QUERIES = [f"What's the weather in {c} tomorrow?" if i % 2 == 0 else
           f"Book a table for {i + 2} in {c} at 8pm." for i, c in enumerate(CITIES * 2)]
TEXT = ("Search the company calendar for every meeting with the design team next week, "
        "then send each attendee a short reminder with the agenda and the room number, "
        "and book a quiet room for Friday.")
VERBS = ["get", "set", "send", "find", "list", "create", "delete", "convert", "book", "play"]
NOUNS = ["weather", "alarm", "e-mail", "contact", "event", "file", "currency", "flight",
         "song"]
DESCRIPTIONS = [f"{v.capitalize()} the {n} for the user" for v in VERBS for n in NOUNS][:50]


def child(filt, threads):
    import pinnet_rs

    engine = pinnet_rs.V2Engine.load(MODEL)
    base = {"threads": threads, "num_layers": engine.config()["num_layers"]}

    if filt in "v2_run_batch":
        pairs = [(q, TOOLS) for q in QUERIES]
        load = OtherLoad()
        sec, first, texts = timed(lambda: engine.run_batch(pairs), repeats=1)
        runs, _, singles = timed(lambda: [engine.run(q, t) for q, t in pairs], repeats=1)
        if texts != singles:
            print("bench_v2_engine: run_batch and run disagree", file=sys.stderr)
        emit({"name": "v2_run_batch", **base, "queries": len(pairs), "seconds": round(sec, 6),
              "first_seconds": round(first, 6), "runs_seconds": round(runs, 6),
              "ratio": round(runs / sec, 3)}, load)

    if filt in "v2_encode_contrastive":
        # A new text every call: the runner keeps recent embeddings.
        count = iter(range(10**9))
        load = OtherLoad()
        sec, first, emb = timed(lambda: engine.encode_contrastive(f"{TEXT} ({next(count)})"),
                                repeats=21)
        emit({"name": "v2_encode_contrastive", **base, "seconds": round(sec, 6),
              "first_seconds": round(first, 6), "text_chars": len(TEXT),
              "width": len(emb)}, load)

    if filt in "v2_retrieve_tools":
        # A new query every call (the runner keeps recent embeddings, so a
        # repeated query would cost nothing); the descriptions are the same
        # list each time, as a caller's tool list is: the first call embeds
        # them all (first_seconds), later calls find them kept.
        count = iter(range(10**9))

        def call():
            return engine.retrieve_tools(f"{TEXT} (call {next(count)})", DESCRIPTIONS, 5)
        load = OtherLoad()
        sec, first, ranked = timed(call, repeats=11)
        emit({"name": "v2_retrieve_tools", **base, "descriptions": len(DESCRIPTIONS),
              "seconds": round(sec, 6), "first_seconds": round(first, 6),
              "top": [i for i, _ in ranked]}, load)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[3], int(sys.argv[2]))
        return 0
    filt = sys.argv[1] if len(sys.argv) > 1 else ""
    if not any(filt in n for n in NAMES):
        return 0
    if not ready("bench_v2_engine", MODEL, ["gen2", "--preset", "bench-gen2", "--heads", "both"]):
        return 0
    per_thread_count(__file__, "bench_v2_engine", filt, THREADS)
    return 0


if __name__ == "__main__":
    sys.exit(main())
