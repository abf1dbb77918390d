"""The JAX forward pass used for training computes what the runtime's
independent reference computes: every position's logits, at full depth and
on ladder rungs (blocks switched off by flags, lanes renumbered), through
windowed and global blocks, q/k/v convolution and grouped heads."""
import numpy as np
import pytest

from pinnet_tools import gen3

jax = pytest.importorskip("jax")
from pinnet_tools.train.model import Forward, rung_flags  # noqa: E402
from support.gen3_reference import Reference, apply_rung  # noqa: E402


def test_forward_matches_reference_on_rungs():
    g = gen3.Gen3Geometry(vocab_size=300, d_model=32, num_heads=4, num_kv_heads=2, num_layers=8,
                          head_dim=8, v_head_dim=8, max_seq_len=64, hada_n=64, mhc_lanes=2,
                          kv_window=5, global_layers=[3], qkv_conv_taps=3, num_experts=2)
    model = gen3.random_model(g, seed=3, bits=4, groups=32)
    forward = Forward(g, 64, model.tensors["perm_a"], model.tensors["perm_b"])
    params = {k: jax.numpy.asarray(v) for k, v in model.tensors.items()}
    tokens = np.random.default_rng(0).integers(0, g.vocab_size, (2, 20))
    for k in (8, 6, 3):
        got = np.asarray(forward(params, tokens, rung_flags(g, k)))
        reference = Reference(apply_rung(model, k))
        for row in range(2):
            want = reference.prefill(list(tokens[row]))
            err = np.linalg.norm(got[row] - want) / np.linalg.norm(want)
            assert err < 1e-5, (k, row, err)
