"""Accuracy of the int8 compute path against the float path on generation-3
models: over teacher-forced positions (random token ids), the relative L2
error of all logits and the share of positions whose greedy choice differs,
for the prefill of every position (--no-cache) and for single steps after
a one-token prefill. Prints one JSON line per model and mode.

Usage (from the repository root, after building the tests):
  python3 bench/gen3_int8_accuracy.py build/test/tests/cpp/models/gen3/gen3_cli \\
      [--positions 512] [MODEL.tesk ...]
Without models it measures build/cache/bench-gen3.tesk and a random model of
the small test geometry (written to a temporary directory)."""

import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from pinnet_tools import gen3  # noqa: E402


def logits(cli, path, ids, compute, *opts):
    out = subprocess.run([cli, "run", path, "--ids", ",".join(map(str, ids)), "--compute", compute,
                          "--raw", *opts], capture_output=True, check=True, timeout=3600).stdout
    return np.frombuffer(out, np.float32).reshape(len(ids), -1).astype(np.float64)


def measure(cli, path, vocab, positions):
    ids = [int(x) for x in np.random.default_rng(11).integers(0, vocab, positions)]
    for mode, opts in (("prefill", ("--no-cache",)), ("steps", ("--prefill", "1"))):
        want = logits(cli, path, ids, "float", *opts)
        got = logits(cli, path, ids, "int8", *opts)
        rel = float(np.linalg.norm(got - want) / np.linalg.norm(want))
        changed = int(np.sum(np.argmax(got, axis=1) != np.argmax(want, axis=1)))
        print(json.dumps({"model": os.path.basename(path), "mode": mode, "positions": positions,
                          "rel_l2": round(rel, 6), "argmax_changed": changed,
                          "argmax_changed_share": round(changed / positions, 4)}), flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("cli")
    ap.add_argument("models", nargs="*")
    ap.add_argument("--positions", type=int, default=512)
    a = ap.parse_args()
    models = a.models
    tmp = tempfile.TemporaryDirectory()
    if not models:
        geom = gen3.small_gen3().replace(max_seq_len=max(1024, a.positions))
        m = gen3.random_model(geom, seed=5, bits={"*": 4, "engram tables": 2}, groups=64)
        small = os.path.join(tmp.name, "small-gen3.tesk")
        gen3.write_gen3(small, m, gen3.tokenizer_blob_for(512))
        models = ["build/cache/bench-gen3.tesk", small]
    for path in models:
        load = json.loads(subprocess.run([a.cli, "load", path], capture_output=True, check=True,
                                         text=True).stdout)
        measure(a.cli, path, load["logit_width"], a.positions)


if __name__ == "__main__":
    main()
