"""The C++ generation-1 model against the NumPy reference
(support.gen1_reference) on random configurations written with the real
safetensors library, and its load errors on every malformed file of
support.gen1_defects. The model is driven through the test-only program
gen1_cli (tests/cpp/models/gen1/gen1_cli.cc) of the test build
(support.programs)."""

import numpy as np
import pytest
from model_cli import rel_err, run

from pinnet_tools import gen1
from support import gen1_defects
from support import gen1_reference as R
from support import programs

CLI = programs.program("gen1_cli")
REL = 2e-5


def cli(*args):
    return run(CLI, *args)


def ids(xs):
    return ",".join(map(str, xs))


CONFIGS = {
    "swiglu": (gen1.tiny_gen1(64), {}),
    "geglu-prequantised": (gen1.tiny_gen1(64).replace(activation="geglu"), dict(prequantised=True)),
    # odd widths (15-wide inputs: an odd group; 5-wide heads: one element
    # not rotated), relu, a short decoder cache that fills up
    "relu-odd": (gen1.tiny_gen1(64).replace(d_model=15, num_heads=3, num_kv_heads=1,
                                           activation="", max_dec_len=3), {}),
    "no-ffn-missing": (gen1.tiny_gen1(64).replace(no_feedforward=True),
                       dict(missing=("decoder.0.cross_attn.wq", "encoder.1.self_attn_gate",
                                     "encoder.0.norm"))),
}


@pytest.fixture(scope="module", params=sorted(CONFIGS))
def model(request, tmp_path_factory):
    cfg, opts = CONFIGS[request.param]
    m = gen1.random_model(cfg, seed=3, contrastive=(16, 8), **opts)
    path = tmp_path_factory.mktemp("gen1") / f"{request.param}.safetensors"
    gen1.write_gen1(path, m)
    return path, R.Gen1Reference(m)


def test_encoder_decoder_and_head_match_the_reference(model):
    path, ref = model
    rng = np.random.default_rng(1)
    prompt = [int(x) for x in rng.integers(0, ref.cfg.vocab_size, 17)]
    steps = [int(x) for x in rng.integers(0, ref.cfg.vocab_size, 5)]
    got, err = cli("decode", path, "--ids", ids(prompt), "--steps", ids(steps))
    enc, cross = ref.encode(prompt)
    assert rel_err(got["encoder"]["rows"], enc) < REL
    state = ref.new_state(cross)
    want = [ref.decode_step(t, state) for t in [1] + steps]
    assert rel_err(got["logits"]["rows"], want) < REL
    # A full cache freezes: one warning per decoder block and step past it.
    assert err.count("[pinnet-core] KV cache full at") == len(state.warnings)
    head, _ = cli("contrastive", path, "--ids", ids(prompt))
    assert rel_err(head["output"], ref.contrastive(prompt)) < REL
    empty, _ = cli("contrastive", path, "--ids", "")
    assert empty["output"] == [0.0] * ref.contrastive_dim


def test_a_long_decoder_cache_grows_with_its_scores(tmp_path):
    # Past the first 1024 rows the cache doubles; every row it then holds
    # needs attention scores (steps past 2050 once wrote past them).
    m = gen1.random_model(gen1.tiny_gen1(64).replace(max_dec_len=4200), seed=4)
    gen1.write_gen1(tmp_path / "long.safetensors", m)
    ref = R.Gen1Reference(m)
    steps = [int(x) for x in np.random.default_rng(2).integers(0, 64, 2100)]
    got, _ = cli("decode", tmp_path / "long.safetensors", "--ids", "5,9", "--steps", ids(steps),
                 "--last", "1")
    state = ref.new_state(ref.encode([5, 9])[1])
    for t in [1] + steps:
        want = ref.decode_step(t, state)
    assert rel_err(got["logits"]["rows"], [want]) < REL


def test_every_malformed_file_fails_with_its_text(tmp_path):
    wrong = {}
    for d in gen1_defects.defects():
        path = tmp_path / "defect.safetensors"
        path.write_bytes(d.data)
        got = cli("load", path)[0].get("error")
        if got != d.message:
            wrong[d.name] = (got, d.message)
    assert not wrong
