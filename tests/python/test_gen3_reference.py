"""Self-consistency of the generation-3 model factory and NumPy reference:
prefill against stepping, kernel identities, ladder orders, int8 rounding,
window and growth rules, the n-gram hash and convolution rules, the
confidence head against a plain (non-online) pooling, the decode loop, and
the written container decoded back from its bytes."""

import struct

import numpy as np
import pytest

from pinnet_tools import gen3
from pinnet_tools.cq_quantise import CqMatrix, dequantise
from support import gen3_reference as R

F32 = np.float32


def close(a, b, rel=2e-4):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    scale = max(1.0, float(np.max(np.abs(b))) if b.size else 1.0)
    assert a.shape == b.shape
    assert np.max(np.abs(a - b)) <= rel * scale, np.max(np.abs(a - b))


@pytest.fixture(scope="module")
def blob():
    return gen3.tokenizer_blob_for(512)


@pytest.fixture(scope="module")
def tiny(blob):
    """A written tiny model with a code-3 head and half its floats in binary16."""
    m = gen3.random_model(gen3.tiny_gen3(), seed=3, bits="mixed", groups="mixed",
                          head=gen3.HeadSpec(code=3, probes=2, second=3, outputs=2))
    data = gen3.write_gen3(None, m, blob, f16=gen3.every_other_float(m))
    return m, data


# ---------------------------------------------------------------- forward


def _variants():
    tiny = gen3.tiny_gen3()
    plain = tiny.replace(qkv_conv_taps=0, kv_window=0, global_layers=[], conv_taps=1,
                         orders=[1, 2], hash_stride=5, logit_count=300, num_experts=1)
    return {"tiny": tiny, "no-conv-no-window": plain}


@pytest.mark.parametrize("name", list(_variants()))
@pytest.mark.parametrize("int8", [False, True])
def test_prefill_equals_stepping(name, int8):
    geom = _variants()[name]
    ref = R.Reference(gen3.random_model(geom, seed=11, bits="mixed", groups="mixed"))
    rng = np.random.default_rng(5)
    # longer than the window and the histories; two ids beyond the table
    toks = list(rng.integers(0, geom.vocab_size, 17)) + [geom.vocab_size, geom.vocab_size + 9]
    pre_cache = ref.new_cache(len(toks) + 3, int8)
    pre = ref.prefill(toks, pre_cache)
    step_cache = ref.new_cache(1, int8)
    stepped = np.stack([ref.step(step_cache, t) for t in toks])
    assert pre.shape == (len(toks), geom.logit_width)
    close(pre, stepped)
    assert pre_cache.position == step_cache.position == len(toks)
    # the prefilled cache holds everything the next steps need
    for t in (7, 8, 9):
        close(ref.step(pre_cache, t), ref.step(step_cache, t))


def test_one_token_prefill_then_steps_equals_stepping():
    geom = gen3.tiny_gen3()
    ref = R.Reference(gen3.random_model(geom, seed=2))
    toks = [2, 40, 41, 42, 43, 44, 45]
    a = ref.new_cache(len(toks))
    first = ref.prefill(toks[:1], a)[-1]
    rest = [ref.step(a, t) for t in toks[1:]]
    b = ref.new_cache(len(toks))
    close(np.stack([first] + rest), np.stack([ref.step(b, t) for t in toks]))


def test_int8_cache_stays_near_float():
    geom = gen3.tiny_gen3()
    ref = R.Reference(gen3.random_model(geom, seed=4))
    toks = list(range(3, 23))
    f = ref.prefill(toks, ref.new_cache(len(toks), False))
    q = ref.prefill(toks, ref.new_cache(len(toks), True))
    assert not np.allclose(f, q, rtol=0, atol=1e-7)  # rounding happened
    close(q, f, rel=0.05)


def test_embedding_clamps_ids_beyond_the_table():
    ref = R.Reference(gen3.random_model(gen3.tiny_gen3(), seed=1))
    V = ref.geom.vocab_size
    e = ref.embed(np.array([V - 1, V, V + 100]))
    assert np.array_equal(e[0], e[1]) and np.array_equal(e[0], e[2])
    close(e[0], ref.emb[V - 1] * np.sqrt(F32(ref.geom.d_model)), rel=1e-6)


# ---------------------------------------------------------------- kernels


@pytest.mark.parametrize("n", [64, 128, 512])
def test_two_factor_with_hadamard_factors_is_the_fwht(n):
    geom = gen3.tiny_gen3().replace(hada_n=n)
    r, c = geom.ff_factors
    assert r * c == n and r <= c <= 2 * r
    v = np.random.default_rng(n).standard_normal((3, n)).astype(F32)
    fast = R.fwht(v)
    close(fast, v @ gen3.hadamard_matrix(n).T, rel=1e-5)  # natural order
    close(R.two_factor(v, gen3.hadamard_matrix(r), gen3.hadamard_matrix(c), r, c), fast, rel=1e-5)


def test_two_factor_definition_with_general_factors():
    r, c = 4, 8
    rng = np.random.default_rng(2)
    a, b = rng.standard_normal(r * r).astype(F32), rng.standard_normal(c * c).astype(F32)
    v = rng.standard_normal(r * c).astype(F32)
    M = np.zeros((r, c))
    for o in range(r):
        for m in range(r):
            M[o] += a[m * r + o] * v[m * c:(m + 1) * c]
    want = np.zeros((r, c))
    for i in range(r):
        for t in range(c):
            want[i] += M[i, t] * b[t * c:(t + 1) * c]
    close(R.two_factor(v[None], a, b, r, c)[0], want.reshape(-1), rel=1e-5)


def test_sinkhorn_is_doubly_stochastic():
    m = np.random.default_rng(0).standard_normal((5, 4, 4)).astype(F32) * 2
    s = R.sinkhorn_project(m)
    assert np.all(s >= 0)
    close(s.sum(axis=-1), np.ones((5, 4)), rel=1e-3)
    close(s.sum(axis=-2), np.ones((5, 4)), rel=1e-5)
    close(R.sinkhorn_project(np.zeros((3, 3), F32)), np.full((3, 3), 1 / 3), rel=1e-6)
    close(R.sinkhorn_project(np.array([[3.5]], F32)), [[1.0]], rel=1e-6)


def test_int8_rounding_takes_halves_away_from_zero():
    s = F32(0.125)
    x = np.array([127 * s, 0.5 * s, -0.5 * s, 1.5 * s, -2.5 * s, 0.49 * s, 0], F32)
    codes, scale = R.int8_quantise(x)
    assert scale == s
    assert codes.tolist() == [127, 1, -1, 2, -3, 0, 0]
    codes, scale = R.int8_quantise(np.zeros((2, 4), F32))
    assert codes.tolist() == [[0] * 4] * 2 and scale.tolist() == [1.0, 1.0]


def test_short_conv_taps_and_history():
    rng = np.random.default_rng(3)
    raw = rng.standard_normal((7, 5)).astype(F32)
    taps = rng.standard_normal((3, 5)).astype(F32)
    want = np.zeros_like(raw)
    for p in range(7):
        for j in range(3):
            if p - j >= 0:  # nothing before the first position
                want[p] += taps[j] * raw[p - j]
    past = np.zeros((2, 5), F32)
    a, past = R.short_conv(raw[:4], past, taps)   # the history carries over
    b, past = R.short_conv(raw[4:5], past, taps)
    c, past = R.short_conv(raw[5:], past, taps)
    close(np.concatenate([a, b, c]), want, rel=1e-6)
    assert np.array_equal(past, raw[-2:])
    one, none = R.short_conv(raw, np.zeros((0, 5), F32), taps[:1])  # one tap: a scaling
    assert np.array_equal(one, taps[0] * raw) and none.shape == (0, 5)


def test_int8_sessions_round_q_through_int8():
    ref = R.Reference(gen3.random_model(gen3.tiny_gen3(), seed=7))
    xn = np.random.default_rng(0).standard_normal((3, ref.d)).astype(F32)
    for int8 in (False, True):
        cache = ref.new_cache(4, int8)
        q, k, v = ref._qkv(0, xn, np.arange(3), cache)
        codes, scale = R.int8_quantise(q)
        on_grid = np.allclose(q, codes * scale[..., None], rtol=0, atol=1e-6 * np.abs(q).max())
        assert on_grid == int8
        assert not np.allclose(k, R.int8_round_trip(k), rtol=0, atol=1e-6)  # rounded when stored


def test_permutation_conversion_saturates():
    v = np.array([3.9, -1.0, np.nan, 4294967040.0, 4294967296.0, 1e30], F32)
    assert gen3.perm_indices(v).tolist() == [3, 0, 0, 4294967040, 4294967295, 4294967295]


def test_rope_leaves_position_zero_and_preserves_norms():
    cos, sin = gen3.rope_tables(50, 8, 10000.0)
    x = np.random.default_rng(1).standard_normal((50, 3, 8)).astype(F32)
    y = R.rope_rotate(x, cos, sin)
    assert np.array_equal(y[0], x[0])
    close(np.linalg.norm(y, axis=-1), np.linalg.norm(x, axis=-1), rel=1e-5)
    # pair (k, k + half) at position p turns by p / theta^(2k / hd)
    p, k = 7, 1
    ang = p / 10000.0 ** (2 * k / 8)
    close(y[p, 0, [k, k + 4]], [x[p, 0, k] * np.cos(ang) - x[p, 0, k + 4] * np.sin(ang),
                                 x[p, 0, k] * np.sin(ang) + x[p, 0, k + 4] * np.cos(ang)], rel=1e-5)


# ---------------------------------------------------------------- blocks


def _zero_lane_model(geom):
    m = gen3.random_model(geom, seed=1)
    for name in ("mhc_phi_pre", "mhc_phi_post", "mhc_phi_res", "mhc_b_pre", "mhc_b_post",
                 "mhc_b_res"):
        m.tensors[name] = np.zeros_like(m.tensors[name])
    return m


def test_pre_mix_favours_lane_l_mod_n():
    geom = gen3.tiny_gen3().replace(mhc_lanes=3, num_layers=5)
    ref = R.Reference(_zero_lane_model(geom))
    stream = np.random.default_rng(2).standard_normal((2, 3, geom.d_model)).astype(F32)
    sig = lambda z: 1 / (1 + np.exp(-z))  # noqa: E731
    for layer in range(5):
        g = np.full(3, sig(-4.0))
        g[layer % 3] = sig(4.0)
        close(ref.pre_mix(layer, stream), np.einsum("i,pid->pd", g, stream), rel=1e-5)


def test_single_lane_mixing():
    geom = gen3.tiny_gen3().replace(mhc_lanes=1)
    m = gen3.random_model(geom, seed=5)
    ref = R.Reference(m)
    rng = np.random.default_rng(4)
    stream = rng.standard_normal((2, 1, geom.d_model)).astype(F32)
    delta = rng.standard_normal((2, geom.d_model)).astype(F32)
    s = stream[:, 0] / np.sqrt(np.mean(stream[:, 0].astype(np.float64) ** 2, -1, keepdims=True) + 1e-6)
    t = m.tensors
    sig = lambda z: 1 / (1 + np.exp(-z))  # noqa: E731
    for layer in range(geom.num_layers):
        p = s @ t["mhc_phi_pre"][layer]
        gate = sig(p * t["mhc_a_pre"][layer] + t["mhc_b_pre"][layer] + 4)
        close(ref.pre_mix(layer, stream), gate[:, None] * stream[:, 0], rel=1e-5)
        q = s @ t["mhc_phi_post"][layer]
        h = 2 * sig(q * t["mhc_a_post"][layer] + t["mhc_b_post"][layer])
        close(ref.post_mix(layer, stream, delta)[:, 0], stream[:, 0] + h[:, None] * delta, rel=1e-5)


def test_feed_forward_with_hadamard_factors():
    geom = gen3.tiny_gen3()            # hada_n 128 = 8 x 16: non-square factors
    m = gen3.random_model(geom, seed=12)
    r, c = geom.ff_factors
    for name in ("ff_a1", "ff_a2", "ff_a3"):
        m.tensors[f"blocks.0.{name}"] = gen3.hadamard_matrix(r).reshape(-1)
    for name in ("ff_b1", "ff_b2", "ff_b3"):
        m.tensors[f"blocks.0.{name}"] = gen3.hadamard_matrix(c).reshape(-1)
    ref = R.Reference(m)
    b = {k.split(".")[-1]: v.astype(np.float64) for k, v in m.tensors.items()
         if k.startswith("blocks.0.")}
    pa, pb = m.tensors["perm_a"].astype(int), m.tensors["perm_b"].astype(int)
    u = np.random.default_rng(1).standard_normal((3, geom.d_model)).astype(F32)
    N, d = geom.hada_n, geom.d_model
    H = gen3.hadamard_matrix(N).astype(np.float64)
    v = np.zeros((3, N))
    v[:, :d] = u
    v *= b["ff_in_scale"]
    z = u @ b["ff_router"].reshape(d, -1)
    sm = np.exp(z - z.max(1, keepdims=True))
    sm /= sm.sum(1, keepdims=True)
    mix = 1 + sm @ b["ff_expert_scales"].reshape(-1, N)
    v = (v @ H.T)[:, pa]
    h = b["ff_gate_scale"] * mix * v + b["ff_gate_bias"]
    v = h / (1 + np.exp(-h))
    v = (v @ H.T)[:, pb] * b["ff_mid_scale"]
    want = (v @ H.T)[:, :d] * b["ff_out_scale"][:d]
    close(ref.feed_forward(0, u), want, rel=1e-5)


# ---------------------------------------------------------------- ladder


def test_rung_orders():
    assert gen3.ladder_order(12) == [0, 11, 5, 8, 2, 3, 6, 9, 1, 4, 7, 10]
    assert gen3.rung(12, 2) == [0, 11]
    assert gen3.rung(12, 4) == [0, 5, 8, 11]
    assert gen3.rung(12, 6) == [0, 2, 3, 5, 8, 11]
    assert gen3.rung(12, 12) == list(range(12))
    assert gen3.rung(2, 2) == [0, 1]
    assert gen3.rung(3, 2) == [0, 2] and gen3.rung(3, 3) == [0, 1, 2]
    for n in range(2, 40):
        assert sorted(gen3.ladder_order(n)) == list(range(n))
    for bad in (1, 0, 13):
        with pytest.raises(ValueError, match="depth is outside the ladder"):
            gen3.rung(12, bad)


def test_apply_rung_cuts_lanes_sites_globals_and_head_cells():
    geom = gen3.small_gen3()
    m = gen3.random_model(geom, seed=8, head=gen3.HeadSpec(code=1, probes=2, second=2))
    assert R.apply_rung(m, 12) is m
    chosen = gen3.rung(12, 8)
    assert chosen == [0, 2, 3, 5, 6, 8, 9, 11]
    cut = R.apply_rung(m, 8)
    g = cut.geom
    assert g.num_layers == 8 and g.global_layers == [2, 7] and g.engram_sites == [4]
    n = geom.mhc_lanes
    t, u = m.tensors, cut.tensors
    assert np.array_equal(u["blocks.4.q_proj"], t["blocks.6.q_proj"])
    assert np.array_equal(u["mhc_a_pre"], t["mhc_a_pre"][chosen])
    assert np.array_equal(u["mhc_b_res"].reshape(8, n * n), t["mhc_b_res"].reshape(12, n * n)[chosen])
    assert np.array_equal(u["mhc_phi_post"].reshape(8, n, -1),
                          t["mhc_phi_post"].reshape(12, n, -1)[chosen])
    assert np.array_equal(u["engram.0.key_proj"], t["engram.1.key_proj"])
    assert "engram.1.tables" not in u
    cells = [0] + [c + 1 for c in chosen]
    probes = t["heads.0.cell_probes"].reshape(13, 2, -1)
    assert np.array_equal(u["heads.0.cell_probes"].reshape(9, 2, -1), probes[cells])
    assert np.array_equal(u["heads.0.pool_bias"].reshape(2, 9, 2),
                          t["heads.0.pool_bias"].reshape(2, 13, 2)[:, cells])
    assert [e.label for e in gen3.canon(g, cut.heads)] == list(u) + ["tokenizer"]
    ref = R.Reference(cut)
    assert 0 < ref.confidence([2, 5, 6, 7])[1] < 1
    close(ref.prefill([2, 5, 6]), np.stack([ref.step(c, x) for c in [ref.new_cache(3)]
                                            for x in [2, 5, 6]]))


# ---------------------------------------------------------------- cache


def test_window_start_and_growth():
    geom = gen3.tiny_gen3().replace(kv_window=4, global_layers=[1], max_seq_len=64)
    cache = R.Cache(geom, 1)
    z_k = np.zeros((geom.num_kv_heads, geom.head_dim), F32)
    z_v = np.zeros((geom.num_kv_heads, geom.v_head_dim), F32)
    seen = {0: [], 1: []}
    for p in range(11):
        for layer in (0, 1):
            cache.store(layer, p, z_k, z_v)
            seen[layer].append(cache.layers[layer].slots)
    assert seen[0] == [1, 2, 4] + [4] * 8          # ring of kv_window slots
    assert seen[1] == [1, 2, 4, 4, 8, 8, 8, 8, 16, 16, 16]
    assert cache.window_start(0, 10) == 7
    assert cache.window_start(1, 10) == 0
    assert R.Cache(geom, 0).layers[1].slots == 1   # requested 0 means 1
    wide = R.Cache(geom.replace(kv_window=100), 5)
    assert wide.layers[0].cap_max == 64            # a window above max_seq_len is no cap


def test_kv_bytes():
    g = gen3.tiny_gen3().replace(head_dim=64, v_head_dim=64, kv_window=0)
    per = 4 * g.num_kv_heads * 128
    assert R.kv_bytes(g, 10) == g.num_layers * 10 * per
    assert R.kv_bytes(g, 0) == 0
    assert R.kv_bytes(g, 10, True) * 4 * 128 == R.kv_bytes(g, 10) * 136
    w = g.replace(kv_window=4, global_layers=[1])
    assert R.kv_bytes(w, 10) == (3 * 4 + 10) * per


# ---------------------------------------------------------------- n-gram memory


def _hash_u32(seed_index, tokens_recent_first, rows):
    """The hash in numpy uint32 arithmetic (wrapping), for comparison."""
    with np.errstate(over="ignore"):
        h = np.uint32(seed_index) * np.uint32(0x9E3779B9)
        for t in tokens_recent_first:
            h = (h ^ np.uint32(t & 0xFFFFFFFF)) * np.uint32(0x01000193)
    return int((h ^ (h >> np.uint32(15))) % np.uint32(rows))


def test_hash_seeds_and_wrapping():
    g = gen3.tiny_gen3().replace(orders=[0, 0], num_tables=4, hash_stride=0, table_rows=97)
    for tau in range(4):  # stride 0: seed (tau + 1) * 0x9E3779B9
        assert R.engram_row([], 0, tau, g) == _hash_u32(tau + 1, [], 97)
    g = gen3.tiny_gen3().replace(orders=[2, 3], num_tables=4, hash_stride=5, table_rows=61)
    tok = [7, 0xFFFFFFF0, 123456789, 3]
    for tau in range(4):
        f, i = divmod(tau, 2)
        order = g.orders[f]
        want = _hash_u32(i + 5 * f + 1, [tok[3 - k] for k in range(order)], 61)
        assert R.engram_row(tok, 3, tau, g) == want


def test_fetch_zero_pieces_before_enough_tokens():
    geom = gen3.tiny_gen3().replace(orders=[1, 3])
    ref = R.Reference(gen3.random_model(geom, seed=6))
    sd = geom.sub_dim
    piece = lambda F, tau: F[tau * sd:(tau + 1) * sd]  # noqa: E731
    toks = [9, 10, 11]
    for p, order1, order3 in ((0, True, False), (1, True, False), (2, True, True)):
        F = ref.fetch(0, toks, p, p)
        for tau in range(geom.num_tables):
            live = order1 if tau < geom.heads_per_order else order3
            assert bool(np.any(piece(F, tau))) == live, (p, tau)


def test_engram_convolution_tap_rule():
    geom = gen3.tiny_gen3().replace(conv_taps=3, tap_spacing=2, orders=[2, 3])
    m = gen3.random_model(geom, seed=9)
    taps = np.zeros((3, geom.d_model), F32)
    taps[1], taps[2] = 1.0, 100.0
    m.tensors["engram.0.taps"] = taps.reshape(-1)
    ref = R.Reference(m)
    toks = list(range(20, 28))
    ps = list(range(len(toks)))
    hist = [np.zeros((4, geom.d_model), F32) for _ in geom.engram_sites]
    _, convs = ref._engram(toks, ps, ps, hist)
    val = np.stack([ref.fetch(0, toks, p, p) for p in ps]) @ ref.sites[0]["value_proj"].T
    conv = convs[0]
    assert not np.any(conv[:3])                         # positions 0..2: tap 0 only (zero)
    close(conv[3], val[1])                              # 1 * 3 <= 3: tap 1
    close(conv[5], val[3])                              # 2 * 3 > 5: no tap 2
    close(conv[6], val[4] + 100 * val[2])               # all three
    close(hist[0], val[-4:])                            # history keeps the last 4 raw values


def test_engram_gate_of_zero_input_is_one_half():
    ref = R.Reference(gen3.random_model(gen3.tiny_gen3(), seed=1))
    key = np.ones((1, ref.d), F32)
    conv = np.full((1, ref.d), 2.0, F32)
    close(ref.engram_gate(np.zeros((1, ref.d), F32), key, conv), np.ones((1, ref.d)), rel=1e-6)


# ---------------------------------------------------------------- confidence head


def _plain_confidence(head, cells, d):
    """Softmax pooling written directly (not online) for comparison."""
    C = len(cells)
    P = head["cell_probes"].shape[0] // C
    pooled = []
    for c, states in enumerate(cells):
        for i in range(P):
            k = c * P + i
            u = states.astype(np.float64) @ head["cell_probes"][k] / np.sqrt(d)
            w = np.exp(u - u.max())
            v = (w / w.sum()) @ states
            v = v / np.sqrt(np.mean(v * v) + 1e-6) * head["cell_scales"][k]
            pooled.append(v)
    pooled = np.array(pooled)
    Q = head["head_probes"].shape[0]
    bias = head["pool_bias"].reshape(Q, -1)
    z = []
    for q in range(Q):
        e = pooled @ head["head_probes"][q] / np.sqrt(d) + bias[q]
        w = np.exp(e - e.max())
        z.append((w / w.sum()) @ pooled)
    out0 = head["head_proj"][0] @ np.concatenate(z) + head["head_bias"][0]
    return out0


def test_confidence_head_matches_plain_pooling(tiny):
    m, _ = tiny
    ref = R.Reference(m.dequantised)
    toks = [2, 30, 31, 32, 33, 34, 35, 36, 37]
    cells = {}
    ref.prefill(toks, None, lambda c, v: cells.setdefault(c, v.copy()))
    assert sorted(cells) == list(range(ref.geom.num_layers + 1))
    logit, prob = ref.confidence(toks)
    want = _plain_confidence(ref.heads[0], [cells[c] for c in sorted(cells)], ref.d)
    assert abs(logit - want) < 1e-4 * max(1.0, abs(want))
    assert abs(prob - 1 / (1 + np.exp(-want))) < 1e-5
    assert R.Reference(gen3.random_model(gen3.tiny_gen3(), seed=0)).confidence(toks) is None


# ---------------------------------------------------------------- decode loop


class _Scripted:
    """A stand-in model whose logits pick the scripted ids in turn."""

    def __init__(self, max_seq_len, script, width=16):
        self.geom = gen3.tiny_gen3().replace(max_seq_len=max_seq_len)
        self.script, self.width, self.calls = list(script), width, []

    def _next(self):
        out = np.zeros(self.width, F32)
        if self.script:
            out[self.script.pop(0)] = 1.0
        return out

    def new_cache(self, requested, kv_int8=False):
        self.requested = requested
        return R.Cache(self.geom.replace(num_layers=1, global_layers=[]), requested, kv_int8)

    def prefill(self, ids, cache):
        self.calls.append(("prefill", len(ids)))
        cache.position = len(ids)
        return np.stack([self._next() for _ in ids])

    def step(self, cache, t):
        self.calls.append(("step", t))
        cache.position += 1
        return self._next()


def test_greedy_loop_stop_reasons():
    # first choice is the end id: nothing generated
    out = R.greedy_generate(_Scripted(64, [0, 0, 1]), [2, 5, 6], 10)
    assert out["stop_reason"] == "Eos" and out["token_ids"] == [] and out["positions"] == 3
    # "<|im_end|>" stops without being kept
    out = R.greedy_generate(_Scripted(64, [0, 0, 7, 8, 4]), [2, 5, 6], 10, im_end_id=4)
    assert out["stop_reason"] == "ImEnd" and out["token_ids"] == [7, 8] and out["positions"] == 5
    # budget clipped to the room left: max_seq_len - 3 ids of prompt
    fake = _Scripted(8, [0] * 4 + [9, 9, 9, 9, 9, 9])
    out = R.greedy_generate(fake, [2, 3, 3, 3, 3], 256)
    assert fake.requested == 8
    assert out["stop_reason"] == "MaxTokens" and out["token_ids"] == [9, 9, 9]
    assert out["positions"] == 8              # every kept id fed; the cache is now full
    # a prompt longer than max_seq_len is cut and reports MaxSeqLen
    fake = _Scripted(4, [0] * 4)
    out = R.greedy_generate(fake, [2, 3, 3, 3, 3, 3], 256)
    assert out["stop_reason"] == "MaxSeqLen" and out["prompt_truncated"]
    assert out["token_ids"] == [] and out["positions"] == 4 and fake.calls == [("prefill", 4)]
    # a zero budget chooses nothing
    out = R.greedy_generate(_Scripted(64, [0, 0]), [2, 5], 0)
    assert out["stop_reason"] == "MaxTokens" and out["token_ids"] == []


def test_greedy_choice_ties_and_nan():
    assert R.greedy_choice([1.0, 3.0, 3.0]) == 1
    assert R.greedy_choice([np.nan, 1.0, 2.0, np.nan]) == 2
    assert R.greedy_choice([]) == 0


def test_splitmix64_and_sampler():
    state, u = R.splitmix64(0)
    assert state == 0x9E3779B97F4A7C15
    assert u == (0xE220A8397B1DCDAF >> 11) * 2.0 ** -53   # the generator's seed-0 output
    _, u2 = R.splitmix64(state)
    assert u2 == (0x6E789E6AA1B965F4 >> 11) * 2.0 ** -53
    logits = np.array([0.0, 1.0, 2.0, -30.0], F32)
    counts, state = np.zeros(4), 12345
    for _ in range(4000):
        i, state = R.sample(logits, 1.0, state)
        counts[i] += 1
    p = np.exp(logits - logits.max())
    assert np.all(np.abs(counts / 4000 - p / p.sum()) < 0.03)


def test_greedy_generate_on_a_real_model(tiny):
    m, _ = tiny
    ref = R.Reference(m.dequantised)
    sp = gen3.sentencepiece_processor(512)
    ids = R.prompt_ids(sp.encode, "What is the weather in Paris?", '[{"name": "get_weather"}]')
    assert ids[0] == 2 and sp.piece_to_id("<|im_end|>") in ids
    out = R.greedy_generate(ref, ids, 6, im_end_id=sp.piece_to_id("<|im_end|>"))
    assert out["positions"] == len(ids) + out["generated"]  # every kept id was fed
    # the same ids again by hand: prefill, then greedy steps
    cache = ref.new_cache(len(ids) + 6)
    logits, mine = ref.prefill(ids, cache)[-1], []
    for _ in range(out["generated"]):
        mine.append(R.greedy_choice(logits))
        logits = ref.step(cache, mine[-1])
    assert mine == out["token_ids"]


# ---------------------------------------------------------------- container


def _read_tesk(data):
    words = list(struct.unpack_from("<49I", data, 0))
    codebook = np.frombuffer(data, "<f4", 28, 196)
    entries = []
    for i in range(words[1]):
        at = 308 + 44 * i
        dtype, ndim = data[at], data[at + 1]
        dims = struct.unpack_from("<4I", data, at + 4)
        off, nbytes, group = struct.unpack_from("<QQI", data, at + 20)
        entries.append(dict(dtype=dtype, ndim=ndim, dims=dims[:ndim], offset=off,
                            nbytes=nbytes, group=group, bits=data[at + 40],
                            data=data[off:off + nbytes]))
    return words, codebook, entries


def test_written_container_reads_back(tiny, blob):
    m, data = tiny
    g = m.geom
    words, codebook, entries = _read_tesk(data)
    assert words[0] == 0x05E12A84 and words[2] == 28
    assert words[5:17] == [g.vocab_size, g.logit_count, g.d_model, g.num_heads, g.num_kv_heads,
                           g.num_layers, g.head_dim, g.v_head_dim, g.max_seq_len, g.hada_n,
                           g.mhc_lanes, g.kv_window]
    mask = words[17] | words[18] << 32
    assert [j for j in range(64) if mask >> j & 1] == g.global_layers
    assert words[19:26] == [g.qkv_conv_taps, g.table_rows, g.sub_dim, g.num_tables,
                            g.conv_taps, g.tap_spacing, g.hash_stride]
    assert words[27:27 + words[26]] == g.orders and words[32:32 + words[31]] == g.engram_sites
    assert struct.unpack("<f", struct.pack("<I", words[48]))[0] == g.rope_theta
    canon = m.entries()
    assert len(entries) == words[1] == len(canon)
    assert canon[gen3.canon_final_slot(g)].label == "final_norm"
    assert g.block_slots == 27
    assert len(gen3.block_canon(g.replace(qkv_conv_taps=0))) == 24
    deq = m.dequantised.tensors
    for e, ent in zip(canon, entries):
        assert ent["offset"] + ent["nbytes"] <= len(data)
        if e.kind == "bytes":
            assert ent["dtype"] == 4 and ent["data"] == blob
            continue
        assert ent["dims"] == e.shape, e.label
        if e.kind == "cq":
            bits, group = m.quant[e.label]
            assert (ent["dtype"], ent["bits"], ent["group"]) == (3, bits, group)
            cq = CqMatrix.from_blob(*e.shape, group, bits, ent["data"])
            assert np.array_equal(dequantise(cq, codebook), deq[e.label]), e.label
        elif e.label in m.dequantised.f16:
            assert ent["dtype"] == 1
            values = np.frombuffer(ent["data"], "<f2").astype(F32)
            assert np.array_equal(values, deq[e.label].reshape(-1))
        else:
            assert ent["dtype"] == 2
            assert np.array_equal(np.frombuffer(ent["data"], "<f4"), m.tensors[e.label].reshape(-1))
    manifest = entries[gen3.canon_final_slot(g) + 1]
    codes = np.frombuffer(manifest["data"], "<f2" if manifest["dtype"] == 1 else "<f4")
    assert codes.tolist() == [3.0]
    assert canon[-2].label == "heads.0.skipped"


def test_dequantised_weights_track_the_float_weights(tiny):
    m, _ = tiny
    worst = {}
    for label, (bits, _) in m.quant.items():
        a, b = m.tensors[label].ravel(), m.dequantised.tensors[label].ravel()
        worst[bits] = min(worst.get(bits, 1.0), np.corrcoef(a, b)[0, 1])
    floors = {2: 0.9, 3: 0.95, 4: 0.98, 5: 0.8}
    for bits, c in worst.items():
        assert c > floors[bits], (bits, c)


def test_random_model_keeps_activations_bounded():
    ref = R.Reference(gen3.random_model(gen3.small_gen3(), seed=0))
    rms = []
    ref.prefill(list(range(3, 40)), None,
                lambda c, v: rms.append(float(np.sqrt(np.mean(v.astype(np.float64) ** 2)))))
    assert len(rms) == 13 and all(0.3 < r < 4 for r in rms), rms


def test_command_line_writes_a_model(tmp_path):
    import os
    import subprocess
    import sys
    from pathlib import Path

    out = tmp_path / "tiny.tesk"
    env = dict(os.environ, PYTHONPATH=str(Path(gen3.__file__).resolve().parents[1]))
    subprocess.run([sys.executable, "-m", "pinnet_tools.gen3", "--preset", "tiny-gen3",
                    "--out", str(out), "--head", "3", "--f16"], check=True, env=env,
                   capture_output=True)
    words, _, entries = _read_tesk(out.read_bytes())
    geom = gen3.tiny_gen3()
    assert words[5] == geom.vocab_size and words[10] == geom.num_layers
    assert entries[-1]["dtype"] == 4 and any(e["dtype"] == 1 for e in entries)
    heads = [gen3.HeadSpec(code=3)]
    assert len(entries) == len(list(gen3.canon(geom, heads)))
