"""The C++ generation-2 model against the NumPy reference
(support.gen2_reference) on random geometries, and its load errors on every
malformed container of support.gen2_defects. The model is driven through the
test-only program gen2_cli (tests/cpp/models/gen2/gen2_cli.cc) of the test
build (support.programs)."""

import numpy as np
import pytest
from model_cli import rel_err, run

from pinnet_tools import gen2
from support import gen2_defects
from support import gen2_reference as R
from support import programs

CLI = programs.program("gen2_cli")

# Relative to the largest reference value (at least 1): the engine multiplies
# in the rotated domain and sums in another order than NumPy.
REL = 2e-5


def cli(*args):
    return run(CLI, *args)[0]


def micro(**kw):
    g = gen2.Gen2Geometry(vocab_size=40, d_model=16, num_heads=2, num_kv_heads=1,
                          num_layers=2, head_dim=8, max_seq_len=160, hada_n=16, mhc_lanes=2,
                          table_rows=7, sub_dim=8, num_tables=2, conv_taps=2, tap_spacing=2,
                          orders=[1, 3], engram_sites=[1])
    return g.replace(**kw)


GEOMETRIES = {
    "tiny": gen2.tiny_gen2(40),
    "tiny-window": gen2.tiny_gen2_window(40),
    # two tiles of prefill (128 + 32), order 0 (a row per table alone)
    "micro-long": micro(orders=[0, 3]),
    "one-lane": micro(mhc_lanes=1, max_seq_len=24),
    "no-engram": micro(engram_sites=[], orders=[], num_tables=0, sub_dim=0, table_rows=0,
                       conv_taps=0, tap_spacing=0, max_seq_len=24),
    "site-twice": micro(engram_sites=[1, 1], max_seq_len=24),
}


@pytest.fixture(scope="module", params=sorted(GEOMETRIES))
def model(request, tmp_path_factory):
    geom = GEOMETRIES[request.param]
    heads = gen2.heads_for("both", geom)
    m = gen2.random_model(geom, seed=7, bits="mixed", groups="mixed", heads=heads)
    path = tmp_path_factory.mktemp("gen2") / f"{request.param}.tesk"
    gen2.write_gen2(path, m, gen2_defects.small_tokenizer_blob(), f16=gen2.every_other_float(m))
    return path, R.Gen2Reference(m)


def test_steps_and_prefill_match_the_reference(model):
    path, ref = model
    g = ref.geom
    rng = np.random.default_rng(1)
    n = min(g.max_seq_len, 150)
    ids = [int(x) for x in rng.integers(0, g.vocab_size, n)]
    state = ref.new_state()
    want = np.array([ref.step(t, state) for t in ids])
    cap = ["--capacity", g.kv_capacity, "--window", g.kv_window]
    stepped = cli("run", path, "--ids", ",".join(map(str, ids)), "--prefill", 0, *cap)
    assert rel_err(stepped["rows"], want) < REL
    # A prefill (one or two tiles) then steps: the same values.
    split = n - 3
    mixed = cli("run", path, "--ids", ",".join(map(str, ids)), "--prefill", split, *cap)
    assert rel_err(mixed["rows"], want[split - 1:]) < REL
    assert mixed["position"] == n


def test_heads_match_the_reference(model):
    path, ref = model
    rng = np.random.default_rng(2)
    ids = [int(x) for x in rng.integers(1, ref.geom.vocab_size, 12)]
    for code in (1, 2):
        got = cli("head", path, "--code", code, "--ids", ",".join(map(str, [ref.bos_id] + ids)))
        want = ref.run_head(code, ids)
        assert rel_err(got["output"], want) < REL, code
    # Only pad ids: nothing pooled.
    assert cli("head", path, "--code", 1, "--ids", f"{ref.pad_id},{ref.pad_id}")["output"] is None


def test_caller_errors_leave_the_state_as_it_was(model):
    path, ref = model
    g = ref.geom
    bad = cli("run", path, "--ids", f"1,{g.vocab_size}", "--prefill", 0)
    assert bad["error"] == "token id outside vocabulary" and bad["position"] == 1
    bad = cli("run", path, "--ids", f"1,2,{g.vocab_size}")
    assert bad["error"] == "token id outside vocabulary" and bad["position"] == 0
    full = ",".join(["1"] * (g.max_seq_len + 1))
    over = cli("run", path, "--ids", full, "--prefill", g.max_seq_len)
    assert over["error"] == "sequence exceeds max_seq_len" and over["position"] == g.max_seq_len


def test_every_malformed_container_fails_with_its_text(tmp_path):
    wrong = {}
    for d in gen2_defects.defects():
        path = tmp_path / "defect.tesk"
        path.write_bytes(d.data)
        got = cli("load", path).get("error")
        if got != d.message:
            wrong[d.name] = (got, d.message)
    assert not wrong
