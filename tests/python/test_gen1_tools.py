"""The generation-1 tools on their own: the written safetensors file read back
by the library, the 4-bit quantiser against a plain loop, and the
reference's first step and frozen cache."""

import json

import numpy as np
import pytest
from safetensors import safe_open
from safetensors.numpy import load

from pinnet_tools import gen1
from support import gen1_defects
from support import gen1_reference as R

F32 = np.float32


def micro(**kw) -> gen1.Gen1Config:
    cfg = gen1.Gen1Config(d_model=16, num_heads=4, num_kv_heads=2, num_encoder_layers=2,
                          num_decoder_layers=2, vocab_size=40, max_enc_len=12, max_dec_len=6,
                          ffn_dim=24, activation="geglu", no_feedforward=False)
    return cfg.replace(**kw)


def test_written_file_round_trips_through_safetensors(tmp_path):
    cfg = micro()
    model = gen1.random_model(cfg, seed=1, contrastive=(8, 4), prequantised=True,
                              missing=["decoder.1.cross_attn_norm"])
    path = tmp_path / "m.safetensors"
    data = gen1.write_gen1(path, model)
    assert path.read_bytes() == data
    with safe_open(str(path), framework="numpy") as f:
        assert f.metadata() == cfg.metadata()
    assert gen1.parse_gen1_config(cfg.metadata()) == cfg
    got = load(data)
    assert "decoder.1.cross_attn_norm" not in got
    for name, layer in model.packed.items():
        assert got[name].dtype == np.int8 and got[name].shape == (layer.packed.size,)
        assert got[name].view(np.uint8).tobytes() == layer.packed.tobytes()
        assert np.array_equal(got[name + ".scale"], layer.scales)
    for name, v in model.tensors.items():
        if name not in model.packed:
            assert got[name].dtype == F32 and np.array_equal(got[name], v), name
    assert 0 < len(model.packed) < len(gen1.linear_layers(cfg))
    back = gen1.read_gen1(data)
    assert back.cfg == cfg and back.contrastive == (8, 4)
    a, b = model.dequantised(), back.dequantised()
    assert a.keys() == b.keys() and all(np.array_equal(a[k], b[k]) for k in a)


def test_cli_preset_and_vocabulary_layout(tmp_path):
    out, voc = tmp_path / "t.safetensors", tmp_path / "t.vocab"
    assert gen1.main(["--preset", "tiny-gen1", "--out", str(out), "--vocab-out", str(voc)]) == 0
    pieces = gen1.vocab_pieces(voc.read_text(encoding="utf-8"))
    assert pieces[:7] == ["<pad>", "</s>", "<s>", "<unk>", "<call>", "<sep>", "<0x00>"]
    with safe_open(str(out), framework="numpy") as f:
        assert int(f.metadata()["vocab_size"]) == len(pieces) == 512
    assert all("\t" not in line for line in gen1.vocab_text_for(512, scores=False).splitlines())


def test_config_defects_carry_the_loader_verdict():
    assert gen1_defects.load_error(gen1_defects.valid_defect_base()) is None
    for d in gen1_defects.defects():
        if d.data[8:9] == b"{" and len(d.data) > 1000:   # library-written files
            assert gen1_defects.load_error(d.data) == d.message, d.name


def plain_quantise(w):
    """One element at a time, straight from the description of the format."""
    n, out = w.shape
    g = min(n, 32)
    groups = (n + g - 1) // g
    rows = groups * g + (groups * g) % 2
    scales = np.zeros((groups, out), F32)
    codes = np.zeros((rows, out), np.int64)
    for q in range(groups):
        for o in range(out):
            amax = F32(0)
            for i in range(q * g, min(q * g + g, n)):
                amax = max(amax, abs(F32(w[i, o])))
            scales[q, o] = max(F32(amax / F32(7)), F32(1e-8))
    for i in range(n):
        for o in range(out):
            y = float(F32(w[i, o]) / scales[i // g, o])
            r = int(abs(y) + 0.5) if abs(y) % 1 != 0.5 else int(abs(y)) + 1
            codes[i, o] = min(7, max(-8, r if y >= 0 else -r))
    packed = np.zeros((rows // 2, out), np.uint8)
    for k in range(rows // 2):
        for o in range(out):
            packed[k, o] = ((codes[2 * k + 1, o] & 0xF) << 4) | (codes[2 * k, o] & 0xF)
    return packed, scales


@pytest.mark.parametrize("n_in", [5, 40])
def test_int4_matches_a_plain_loop_and_stays_within_half_a_step(n_in):
    rng = np.random.default_rng(n_in)
    w = rng.standard_normal((n_in, 6)).astype(F32)
    w[:, 3] = 0                      # an all-zero column
    layer = gen1.quantize_int4(w, n_in, 6)
    packed, scales = plain_quantise(w)
    assert np.array_equal(layer.packed, packed) and np.array_equal(layer.scales, scales)
    assert layer.packed.shape == ((n_in + 1) // 2 if n_in < 32 else 32, 6)
    assert np.all(layer.scales[:, 3] == F32(1e-8))
    deq = gen1.dequantize_int4(layer)
    step = np.repeat(layer.scales, min(n_in, 32), axis=0)[:n_in]
    assert np.all(np.abs(deq - w) <= step * 0.5 * (1 + 1e-5))
    live = [0, 1, 2, 4, 5]
    assert np.array_equal(np.abs(deq).max(axis=0)[live], 7 * layer.scales.max(axis=0)[live])


def test_int4_rounds_half_away_and_packs_low_nibble_first():
    w = np.array([[7.0], [3.5], [-3.5], [0.5], [-0.5]], F32)    # scale exactly 1
    layer = gen1.quantize_int4(w, 5, 1)
    assert layer.scales.tolist() == [[1.0]]
    # codes 7, 4, -4, 1, -1 and a zero padding row
    assert layer.packed.reshape(-1).tolist() == [0x47, 0x1C, 0x0F]
    pre = gen1.Int4Linear(2, 1, np.array([[0x8F]], np.uint8), np.array([[0.5]], F32))
    assert gen1.dequantize_int4(pre).reshape(-1).tolist() == [-0.5, -4.0]   # -1, -8


def test_greedy_choice_takes_the_highest_index_in_total_order():
    assert R.greedy_choice(np.array([1.0, 3.0, 3.0], F32)) == 2
    assert R.greedy_choice(np.array([0.0, -0.0], F32)) == 0
    assert R.greedy_choice(np.array([np.nan, np.inf], F32)) == 0
    assert R.greedy_choice(np.array([5.0], F32)) == 0
    assert R.encoder_input([7, 8, 9], [10, 11], 4) == [7, 8, 5, 10]
    assert R.encoder_input([], [], 4) == [] and R.encoder_input([7], [], 1) == [5]


def test_first_decoder_step_attends_only_to_itself():
    ref = R.Gen1Reference(gen1.random_model(micro(), seed=2, contrastive=(8, 4)))
    _, cross = ref.encode([6, 7, 5, 8, 9])
    state = ref.new_state(cross)
    state.keys[0][1:] = 100.0        # rows past the count must not be read
    trace = []
    ref.decode_step(1, state, trace)
    for block in trace:
        assert block["position"] == 0
        assert block["self"].shape == (4, 1) and np.all(block["self"] == 1)
        assert block["cross"].shape == (4, 5)
    assert state.count == [1, 1]
    assert np.allclose(np.linalg.norm(ref.contrastive([6, 7])), 1, atol=1e-6)
    assert not ref.contrastive([]).any() and ref.contrastive_dim == 4


def test_full_cache_freezes_rows_and_position():
    ref = R.Gen1Reference(gen1.random_model(micro(max_dec_len=3), seed=3))
    _, cross = ref.encode([9, 5, 11])
    state = ref.new_state(cross)
    for tok in (1, 12, 13):
        ref.decode_step(tok, state)
    assert state.count == [3, 3] and not state.warnings
    keys = [k.copy() for k in state.keys]
    trace_a, trace_b = [], []
    a = ref.decode_step(14, state, trace_a)
    b = ref.decode_step(14, state, trace_b)
    assert np.array_equal(a, b) and np.isfinite(a).all()
    assert all(np.array_equal(k, s) for k, s in zip(keys, state.keys))
    assert [t["position"] for t in trace_a] == [3, 3]
    assert trace_a[0]["self"].shape == (4, 3)
    assert state.warnings == ["[pinnet-core] KV cache full at 3 steps \u2014 output will degrade"] * 4
    # the loop itself stops at max_dec_len ids, or at once when 1 is forced
    no_stop = np.zeros(40, F32)
    no_stop[1] = -1e9
    assert len(ref.greedy([9], [11], lambda ids: no_stop)) == 3
    assert ref.greedy([9], [11], lambda ids: -no_stop) == []
    seen = []
    forced = ref.greedy([9], [11], lambda ids: seen.append(list(ids)) or
                        np.where(np.arange(40) == 20 + len(ids), F32(1e9), F32(0)))
    assert forced == [20, 21, 22] and seen == [[], [20], [20, 21]]
