"""Constrained-decoding bias cost on the bench-gen3 vocabulary (16384 pieces).

Writes the tokenizer blob of the bench-gen3 preset once to
build/cache/bench-gen3-tokenizer.blob (from the cached sentencepiece model of
pinnet_tools.gen3) and runs build/bench/bench/bench_constrained on it and the
tools of bench/five_tools.json; it prints the JSON line of benchmark
"constrained_bias".

Usage: python3 bench/bench_constrained.py [filter]
"""

import os
import subprocess
import sys

NAME = "constrained_bias"
VOCAB = 16384
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOB = os.path.join(ROOT, "build", "cache", "bench-gen3-tokenizer.blob")
TOOLS = os.path.join(ROOT, "bench", "five_tools.json")
EXE = os.environ.get("PINNET_BENCH_CONSTRAINED",
                     os.path.join(ROOT, "build", "bench", "bench", "bench_constrained"))


def main():
    filt = sys.argv[1] if len(sys.argv) > 1 else ""
    if filt not in NAME:
        return 0
    if not os.path.exists(EXE):
        print(f"bench_constrained: {EXE} not built (bench/run builds it)", file=sys.stderr)
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
    sys.stdout.flush()
    return subprocess.run([EXE, filt, BLOB, TOOLS]).returncode


if __name__ == "__main__":
    sys.exit(main())
