"""Shared by the tests that drive a model through its test-only program
(tests/cpp/models/gen*/gen*_cli.cc): running it, and comparing with a
reference."""
import json
import subprocess

import numpy as np


def run(program, *args):
    """(parsed standard output, standard error); exit status 2 is a load error."""
    out = subprocess.run([program, *map(str, args)], capture_output=True, text=True, timeout=300)
    assert out.returncode in (0, 2), (out.stdout, out.stderr)
    return json.loads(out.stdout), out.stderr


def rel_err(a, b):
    """Largest difference relative to the largest reference value (at least 1)."""
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    assert a.shape == b.shape, (a.shape, b.shape)
    return float(np.max(np.abs(a - b))) / max(1.0, float(np.max(np.abs(b))))
