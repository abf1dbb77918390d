"""PinnetEngine end to end on the bench-gen1 model (the configuration
defaults with a swiglu feed-forward, 8192-piece vocabulary, random weights):
`run` of one realistic query with 5 tools (always constrained, up to
max_dec_len ids), at PINNET_NUM_THREADS = 1 and 2 (a child process per
setting). Seconds are the median of the calls after a warm-up; every line
carries other_cores, the processor time other processes took meanwhile.

The model is written once with
  python3 -m pinnet_tools.gen1 --preset bench-gen1 --out build/cache/bench-gen1.safetensors --vocab-out build/cache/bench-gen1.vocab
when missing. The module comes from PYTHONPATH (bench/run puts
build/bench/src/python there).

Usage: python3 bench/bench_pinnet_engine.py [filter]
"""

import os
import subprocess
import sys

from timing import OtherLoad, emit, ready, timed

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODEL = os.path.join(ROOT, "build", "cache", "bench-gen1.safetensors")
VOCAB = os.path.join(ROOT, "build", "cache", "bench-gen1.vocab")
NAME = "gen1_run"
QUERY = ("I'm flying from Lisbon to Zürich next Friday and back on Sunday — what will the "
         "weather be like there, in celsius please?")
with open(os.path.join(ROOT, "bench", "five_tools.json"), encoding="utf-8") as _f:
    TOOLS = _f.read()


def child(threads):
    import pinnet_rs

    engine = pinnet_rs.PinnetEngine.load(MODEL, VOCAB)
    ids = []
    engine.run_stream(QUERY, TOOLS, lambda i, p: ids.append(i))
    load = OtherLoad()
    sec, first, out = timed(lambda: engine.run(QUERY, TOOLS), repeats=3)
    emit({"name": NAME, "threads": threads, "seconds": round(sec, 6),
          "first_seconds": round(first, 6), "tokens": len(ids), "chars": len(out)}, load)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(int(sys.argv[2]))
        return 0
    filt = sys.argv[1] if len(sys.argv) > 1 else ""
    if filt not in NAME:
        return 0
    if not ready("bench_pinnet_engine", MODEL,
                 ["gen1", "--preset", "bench-gen1", "--vocab-out", VOCAB]):
        return 0
    for threads in (1, 2):
        env = dict(os.environ, PINNET_NUM_THREADS=str(threads))
        sys.stdout.flush()
        if subprocess.run([sys.executable, os.path.abspath(__file__), "--child", str(threads)],
                          env=env).returncode != 0:
            print(f"bench_pinnet_engine: the {threads}-thread run failed", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
