"""Constrained-decoding costs on the bench-gen3 vocabulary (16384 pieces).

Writes the tokenizer blob of the bench-gen3 preset once to
build/cache/bench-gen3-tokenizer.blob (from the cached sentencepiece model of
pinnet_tools.gen3) and runs build/bench/bench/bench_constrained and
bench_strict on it and the tools of bench/five_tools.json; they print the
JSON lines of benchmarks "constrained_bias" (the written constraint) and
"strict_mask" (strict tool calls' masks) and "strict_call" (a decode step
of bench-gen3 under a strict call against the written constraint).

Usage: python3 bench/bench_constrained.py [filter]
"""

import os
import subprocess
import sys

NAMES = ("constrained_bias", "strict_mask", "strict_call")
VOCAB = 16384
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOB = os.path.join(ROOT, "build", "cache", "bench-gen3-tokenizer.blob")
TOOLS = os.path.join(ROOT, "bench", "five_tools.json")
EXES = {
    "constrained_bias": os.environ.get(
        "PINNET_BENCH_CONSTRAINED", os.path.join(ROOT, "build", "bench", "bench", "bench_constrained")),
    "strict_mask": os.environ.get(
        "PINNET_BENCH_STRICT", os.path.join(ROOT, "build", "bench", "bench", "bench_strict")),
}
EXES["strict_call"] = EXES["strict_mask"]  # one program prints both


def main():
    filt = sys.argv[1] if len(sys.argv) > 1 else ""
    wanted = [name for name in NAMES if filt in name and os.path.exists(EXES[name])]
    for name in NAMES:
        if filt in name and not os.path.exists(EXES[name]):
            print(f"bench_constrained: {EXES[name]} not built (bench/run builds it)", file=sys.stderr)
    if not wanted:
        return 0
    if not os.path.exists(BLOB):
        try:
            import sentencepiece  # noqa: F401
        except ImportError:
            print("bench_constrained: sentencepiece is not installed; skipped", file=sys.stderr)
            return 0
        sys.path.insert(0, ROOT)
        from pinnet_tools import gen3

        blob = gen3.tokenizer_blob_for(VOCAB)
        os.makedirs(os.path.dirname(BLOB), exist_ok=True)
        with open(BLOB + ".tmp", "wb") as f:
            f.write(blob)
        os.replace(BLOB + ".tmp", BLOB)
    status = 0
    for exe in dict.fromkeys(EXES[name] for name in wanted):  # each program once
        sys.stdout.flush()
        status = subprocess.run([exe, filt, BLOB, TOOLS]).returncode or status
    return status


if __name__ == "__main__":
    sys.exit(main())
