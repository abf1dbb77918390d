"""The generation-2 tools on their own: the written container read back with
the canon's shapes and dtypes, every malformed container against the
loader's verdict, and the reference's ring, hash, lane and head edge cases."""

import numpy as np
import pytest

from pinnet_tools import gen2, tesk
from support import gen2_defects
from support import gen2_loader
from support import gen2_reference as R


def micro(**kw) -> gen2.Gen2Geometry:
    """Small enough that a step costs well under a millisecond per block."""
    g = gen2.Gen2Geometry(vocab_size=40, d_model=16, num_heads=2, num_kv_heads=1,
                          num_layers=2, head_dim=8, max_seq_len=8, hada_n=16, mhc_lanes=2,
                          table_rows=7, sub_dim=8, num_tables=2, conv_taps=2, tap_spacing=2,
                          orders=[1, 3], engram_sites=[1])
    return g.replace(**kw)


def reference(geom, heads=(), seed=0):
    m = gen2.random_model(geom, seed=seed, bits="mixed", groups="mixed", heads=heads)
    gen2.write_gen2(None, m, gen2_defects.small_tokenizer_blob())
    return R.Gen2Reference(m)


def test_cli_container_reads_back_with_the_canon(tmp_path):
    out = tmp_path / "tiny.tesk"
    assert gen2.main(["--preset", "tiny-gen2", "--out", str(out), "--heads", "both",
                      "--f16", "--seed", "3"]) == 0
    model, blob = gen2.build_preset("tiny-gen2", seed=3, heads="both")
    f16 = gen2.every_other_float(model)
    assert gen2.write_gen2(None, model, blob, f16=f16) == out.read_bytes()

    img = tesk.read_tesk(out.read_bytes())
    entries = model.entries(tokenizer=True)
    assert len(img.entries) == len(entries) == model.geom.canon_len + 7 + 1
    want_dtype = {"cq": tesk.DTYPE_CQ, "bytes": tesk.DTYPE_BYTES}
    for e, got in zip(entries, img.entries):
        dtype = want_dtype.get(e.kind, tesk.DTYPE_F16 if e.key in f16 else tesk.DTYPE_F32)
        assert (got.dtype, got.shape) == (dtype, e.shape or (len(blob),)), e.key
    assert {tesk.DTYPE_F16, tesk.DTYPE_F32} <= {x.dtype for x in img.entries}

    loaded = gen2_loader.load_v2(out)
    assert loaded.geom == model.geom and loaded.tokenizer_blob == blob
    assert [h.code for h in loaded.heads] == [1, 2]
    for key, value in model.dequantised.tensors.items():
        assert np.array_equal(loaded.tensors[key], value), key


def test_every_defect_fails_with_its_recorded_text():
    gen2_loader.load_v2(gen2_defects.valid_defect_base())
    wrong = {}
    for d in gen2_defects.defects():
        try:
            gen2_loader.load_v2(d.data)
            got = None
        except gen2_loader.LoadError as e:
            got = str(e)
        if got != d.message:
            wrong[d.name] = (d.message, got)
    assert not wrong


def test_first_step_attends_to_its_own_value():
    ref = reference(micro())
    trace = []
    ref.step(3, ref.new_state(), trace=trace)
    for block in trace:
        assert list(block["positions"]) == [0]
        np.testing.assert_array_equal(block["head_out"], block["v"][ref.kv_of_head])


def test_window_ring_holds_exactly_what_the_window_sees():
    ref = reference(micro(max_seq_len=10, kv_window=3))
    ring, full = ref.new_state(), ref.new_state(10, 3)
    assert ring.capacity == 3
    for p, t in enumerate([5, 9, 1, 30, 2, 7, 7, 11]):
        trace = []
        a = ref.step(t, ring, trace=trace)
        np.testing.assert_allclose(a, ref.step(t, full), rtol=0, atol=1e-5)
        if p == 5:
            assert list(trace[0]["positions"]) == [3, 4, 5]
            assert list(trace[0]["slots"]) == [0, 1, 2]


def test_engram_orders():
    g = micro(orders=[3, 0], num_tables=2)
    hist = [4, 17, 9, 2]
    assert [R.engram_row(hist, p, 0, g) is None for p in range(4)] == [True, True, False, False]
    rows = {R.engram_row(h, p, 1, g) for h in ([0] * 4, hist) for p in range(4)}
    assert len(rows) == 1 and g.table_rows <= rows.pop() < 2 * g.table_rows


def test_one_lane_mixes_with_exactly_one():
    ref = reference(micro(mhc_lanes=1))
    trace = []
    ref.step(1, ref.new_state(), trace=trace)
    for block in trace:
        assert block["residual_matrix"].tolist() == [[1.0]]
        assert 0.5 < block["pre_weights"][0] < 1 and 0 < block["post_weights"][0] < 2


def test_step_and_prefill_refusals_leave_the_state_alone():
    ref = reference(micro())
    s = ref.new_state()
    with pytest.raises(R.ModelError, match="token id outside vocabulary"):
        ref.step(40, s)
    ref.prefill([1, 2, 3], s)
    with pytest.raises(R.ModelError, match="sequence exceeds max_seq_len"):
        ref.prefill([1] * 6, s)
    assert s.position == 3
    ref.prefill([1] * 5, s)
    with pytest.raises(R.ModelError, match="sequence exceeds max_seq_len"):
        ref.step(40, s)


def test_heads():
    heads = [gen2.HeadSpec(1, probes=3, outputs=5), gen2.HeadSpec(2, probes=1, outputs=2)]
    ref = reference(micro(), heads)
    emb = ref.run_head(1, [5, 6])
    assert emb.shape == (5,) and abs(float(np.linalg.norm(emb)) - 1) < 1e-5
    assert ref.run_head(2, list(range(20))).shape == (2,)   # cut to max_seq_len
    assert ref.run_head(1, [ref.pad_id] * 3, add_bos=False) is None
    assert ref.run_head(1, [40]) is None
    assert reference(micro()).run_head(1, [5]) is None


def test_decode_loop_limits():
    ref = reference(micro())
    none = R.greedy_generate(ref, [7, 8, 9], max_new_tokens=0)
    assert none == {"token_ids": [], "generated": 0, "prompt_tokens": 4,
                    "stop_reason": "MaxTokens"}
    long = R.greedy_generate(ref, [7, 8, 9], max_new_tokens=20)
    assert long["prompt_tokens"] == 1
    if long["stop_reason"] == "ContextFull":
        assert long["generated"] == ref.geom.max_seq_len
    else:
        assert long["stop_reason"] in ("Eos", "ImEnd")
