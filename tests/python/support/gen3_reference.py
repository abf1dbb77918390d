"""An independent float32 reference of the generation-3 model, computed from
dequantised weights (a `gen3.Gen3Model`, normally `model.dequantised` after
`gen3.write_gen3`). The runtime is tested against it: every step is written
plainly, batched over positions with NumPy, in single precision. Sums may
accumulate in a different order than the runtime; tests use error bands.

    ref = Reference(model)
    cache = ref.new_cache(len(ids) + 8)
    last = ref.prefill(ids, cache)[-1]
    nxt = ref.step(cache, int(np.argmax(last)))
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from pinnet_tools.cq_quantise import fwht  # noqa: F401  (normalised, natural order; re-exported)
from pinnet_tools.gen3 import (BOS_ID, EOS_ID, LANE_MATRICES, LANE_VECTORS, SINKHORN_ROUNDS,
                               Gen3Geometry, Gen3Model, block_canon, perm_indices,
                               rope_tables, rung)

F32 = np.float32
U32 = 0xFFFFFFFF
EPS = F32(1e-6)
HASH_SEED_MUL = 0x9E3779B9
HASH_ROUND_MUL = 0x01000193
HALF_BELOW = F32(0.49999997)  # ties of the int8 rounding go away from zero


# ----------------------------------------------------------------------------
# Dense kernels (last axis is the vector axis; leading axes are batches)


def rms_inv(x: np.ndarray) -> np.ndarray:
    """1 / sqrt(mean(x^2) + 1e-6) over the last axis, keepdims."""
    n = F32(x.shape[-1])
    ms = np.sum(x * x, axis=-1, keepdims=True, dtype=F32) / n
    return F32(1) / np.sqrt(ms + EPS)


def rms_norm_offset(x: np.ndarray, w: np.ndarray) -> np.ndarray:
    """x * (1 + w) * (1 / r); a weight shorter than x leaves the tail untouched."""
    out = x.astype(F32, copy=True)
    k = min(len(w), x.shape[-1])
    out[..., :k] = x[..., :k] * (F32(1) + w[:k]) * rms_inv(x)
    return out


def rms_norm_plain(x: np.ndarray) -> np.ndarray:
    return (x * rms_inv(x)).astype(F32)


def sigmoid(z) -> np.ndarray:
    z = np.asarray(z, F32)
    return F32(1) / (F32(1) + np.exp(-z))


def softmax(z: np.ndarray) -> np.ndarray:
    """Softmax over the last axis: maximum (NaN ignored) subtracted, exp, times
    1 / sum; a row that is all minus infinity or sums to zero gives 1 / n."""
    z = np.asarray(z, F32)
    n = z.shape[-1]
    with np.errstate(invalid="ignore", over="ignore"):
        m = np.fmax.reduce(z, axis=-1, keepdims=True)
        e = np.exp(z - m)
        s = np.sum(e, axis=-1, keepdims=True, dtype=F32)
        out = e * (F32(1) / s)
    flat = np.isneginf(m) | (s == 0)
    return np.where(flat, F32(1) / F32(n), out).astype(F32)


def sinkhorn_project(m: np.ndarray) -> np.ndarray:
    """Log-domain Sinkhorn over (..., n, n) logits: exactly 20 rounds of
    subtracting each row's log-sum-exp, then each column's; then exp."""
    m = np.array(m, F32, copy=True)
    with np.errstate(invalid="ignore", over="ignore"):
        for _ in range(SINKHORN_ROUNDS):
            a = np.fmax.reduce(m, axis=-1, keepdims=True)
            lse = a + np.log(np.sum(np.exp(m - a), axis=-1, keepdims=True, dtype=F32))
            m = m - np.where(np.isfinite(a), lse, a)
            b = np.fmax.reduce(m, axis=-2, keepdims=True)
            m = m - (b + np.log(np.sum(np.exp(m - b), axis=-2, keepdims=True, dtype=F32)))
    return np.exp(m).astype(F32)


def rope_rotate(x: np.ndarray, cos: np.ndarray, sin: np.ndarray) -> np.ndarray:
    """Rotate-half form. x: (P, heads, hd); cos, sin: (P, hd / 2)."""
    half = x.shape[-1] // 2
    x1, x2 = x[..., :half], x[..., half:]
    c, s = cos[:, None, :], sin[:, None, :]
    return np.concatenate([x1 * c - x2 * s, x1 * s + x2 * c], axis=-1).astype(F32)


def two_factor(v: np.ndarray, a: np.ndarray, b: np.ndarray, r: int, c: int) -> np.ndarray:
    """T(v; A, B) over the last axis (r * c floats): V as r x c row-major,
    M = A^T V, R = M B, flattened row-major."""
    lead = v.shape[:-1]
    mat = v.reshape(lead + (r, c))
    m = np.matmul(a.reshape(r, r).T, mat)
    return np.matmul(m, b.reshape(c, c)).reshape(lead + (r * c,)).astype(F32)


def short_conv(raw: np.ndarray, past: np.ndarray, taps: np.ndarray):
    """Depthwise causal convolution of consecutive raw vectors raw (P, W) with
    taps (T, W): out[p] = taps[0] * raw[p] + sum_j taps[j] * raw[p - j], the
    vectors before the first coming from past (T - 1, W), oldest first.
    Returns (out, the new past: the last T - 1 raw vectors)."""
    T, P = taps.shape[0], raw.shape[0]
    full = np.concatenate([past, raw])
    out = taps[0] * raw
    for j in range(1, T):
        out = out + taps[j] * full[T - 1 - j:T - 1 - j + P]
    return out.astype(F32), full[len(full) - (T - 1):].copy()


def int8_quantise(x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per vector of the last axis: scale = amax / 127 (1 when amax is 0),
    code = clamp(trunc(y + copysign(0.49999997, y)), -128, 127), y = x * (1 / scale)."""
    amax = np.max(np.abs(x), axis=-1)
    scale = np.where(amax > 0, amax / F32(127), F32(1)).astype(F32)
    y = (x * (F32(1) / scale)[..., None]).astype(F32)
    codes = np.trunc((y + np.copysign(HALF_BELOW, y)).astype(F32))
    return np.clip(codes, -128, 127).astype(np.int8), scale


def int8_round_trip(x: np.ndarray) -> np.ndarray:
    codes, scale = int8_quantise(x)
    return (codes.astype(F32) * scale[..., None]).astype(F32)


# ----------------------------------------------------------------------------
# N-gram hash


def engram_row(tok, j: int, table: int, geom: Gen3Geometry) -> int:
    """Row within table `table` for the n-gram ending at tok[j]; wrapping
    unsigned 32-bit arithmetic, most recent token mixed in first."""
    hpo = geom.heads_per_order
    f, i = divmod(table, hpo)
    h = ((i + f * geom.effective_hash_stride + 1) * HASH_SEED_MUL) & U32
    for k in range(geom.orders[f]):
        if k <= j:
            h ^= int(tok[j - k]) & U32
        h = (h * HASH_ROUND_MUL) & U32
    return ((h ^ (h >> 15)) % geom.table_rows)


# ----------------------------------------------------------------------------
# Depth ladder


def apply_rung(model: Gen3Model, k: int) -> Gen3Model:
    """The model cut to the k-block rung: blocks renumbered, per-block lane
    vectors and phi row blocks selected in rung order, global layers and
    engram sites renumbered (entries outside the rung dropped, with their
    engram weights), confidence-head cells cut to cell 0 plus the cell after
    each kept block. k = num_layers returns the model unchanged."""
    g = model.geom
    chosen = rung(g.num_layers, k)
    if k == g.num_layers:
        return model
    n, t = g.mhc_lanes, model.tensors
    out: dict[str, np.ndarray] = {"embedding": t["embedding"]}
    rename: dict[str, str] = {"embedding": "embedding"}

    def keep(new, old, value=None):
        out[new] = t[old] if value is None else value
        rename[old] = new

    for new_l, old_l in enumerate(chosen):
        for name, _, _ in block_canon(g):
            keep(f"blocks.{new_l}.{name}", f"blocks.{old_l}.{name}")
    for name, per in zip(LANE_VECTORS, (1, 1, 1, n, n, n * n)):
        v = t[name]
        if len(v) < per * g.num_layers:
            raise ValueError(f"{name} holds {len(v)} values, fewer than {per} per block")
        keep(name, name, np.concatenate([v[per * c:per * (c + 1)] for c in chosen]))
    for name, per in zip(LANE_MATRICES, (n, n, n * n)):
        keep(name, name, np.concatenate([t[name][per * c:per * (c + 1)] for c in chosen]))
    for name in ("perm_a", "perm_b"):
        keep(name, name)
    position = {c: i for i, c in enumerate(chosen)}
    sites = []
    for s, block in enumerate(g.engram_sites):
        if block in position:
            for part in ("tables", "key_proj", "value_proj", "taps"):
                keep(f"engram.{len(sites)}.{part}", f"engram.{s}.{part}")
            sites.append(position[block])
    keep("final_norm", "final_norm")
    globals_ = [position[b] for b in g.global_layers if b in position]
    cells = [0] + [c + 1 for c in chosen]
    full_cells = g.num_layers + 1
    if model.heads:
        keep("head_manifest", "head_manifest")
    for h, spec in enumerate(model.heads):
        pre = f"heads.{h}."
        probes, scales = t[pre + "cell_probes"], t[pre + "cell_scales"]
        P = probes.shape[0] // full_cells
        rows = np.concatenate([np.arange(c * P, (c + 1) * P) for c in cells])
        bias = t[pre + "pool_bias"].reshape(spec.second, full_cells * P)
        keep(pre + "cell_probes", pre + "cell_probes", probes[rows])
        keep(pre + "cell_scales", pre + "cell_scales", scales[rows])
        keep(pre + "head_probes", pre + "head_probes")
        keep(pre + "pool_bias", pre + "pool_bias", bias[:, rows].reshape(-1))
        for part in ("head_proj", "head_bias") + (("skipped",) if spec.code == 3 else ()):
            keep(pre + part, pre + part)
    geom = dataclasses.replace(g, num_layers=k, global_layers=globals_, engram_sites=sites)
    quant = {rename[old]: q for old, q in model.quant.items() if old in rename}
    f16 = {rename[old] for old in model.f16 if old in rename}
    return Gen3Model(geom=geom, tensors=out, quant=quant, heads=list(model.heads), f16=f16)


# ----------------------------------------------------------------------------
# Session state


@dataclass
class LayerKv:
    cap_max: int
    slots: int
    keys: np.ndarray            # (slots, kv_heads, head_dim), f32 or int8 codes
    values: np.ndarray          # (slots, kv_heads, v_head_dim)
    key_scales: np.ndarray | None    # (slots, kv_heads), int8 mode only
    value_scales: np.ndarray | None
    conv: dict                  # "q"/"k"/"v" -> (taps - 1, width) raw vectors, oldest first


@dataclass
class Cache:
    """Per-session state: key/value rings, q/k/v convolution histories, the
    last max_order tokens and per-site raw n-gram value histories."""

    geom: Gen3Geometry
    requested: int
    kv_int8: bool = False
    position: int = 0
    layers: list = field(default_factory=list)
    tokens: list = field(default_factory=list)
    site_history: list = field(default_factory=list)  # per site (hist_len, d_model)

    def __post_init__(self):
        g = self.geom
        r = max(1, self.requested)
        kvh, hd, vd = g.num_kv_heads, g.head_dim, g.v_head_dim
        widths = {"q": g.num_heads * hd, "k": kvh * hd, "v": kvh * vd}
        T = g.qkv_conv_taps
        for layer in range(g.num_layers):
            cap = g.cache_cap(layer)
            slots = min(cap, r)
            dt = np.int8 if self.kv_int8 else F32
            self.layers.append(LayerKv(
                cap_max=cap, slots=slots, keys=np.zeros((slots, kvh, hd), dt),
                values=np.zeros((slots, kvh, vd), dt),
                key_scales=np.ones((slots, kvh), F32) if self.kv_int8 else None,
                value_scales=np.ones((slots, kvh), F32) if self.kv_int8 else None,
                conv={k: np.zeros((max(T - 1, 0), w), F32) for k, w in widths.items()}))
        hist = max(g.conv_taps - 1, 0) * g.tap_spacing
        self.site_history = [np.zeros((hist, g.d_model), F32) for _ in g.engram_sites]

    def grow(self, layer: int, p: int) -> None:
        lk = self.layers[layer]
        if p >= lk.slots and lk.slots < lk.cap_max:
            new = min(lk.cap_max, max(2 * lk.slots, p + 1))
            extra = new - lk.slots

            def pad(a, fill):
                return np.concatenate([a, np.full((extra,) + a.shape[1:], fill, a.dtype)])
            lk.keys, lk.values = pad(lk.keys, 0), pad(lk.values, 0)
            if self.kv_int8:
                lk.key_scales, lk.value_scales = pad(lk.key_scales, 1), pad(lk.value_scales, 1)
            lk.slots = new

    def store(self, layer: int, p: int, k: np.ndarray, v: np.ndarray) -> None:
        """k: (kv_heads, head_dim), v: (kv_heads, v_head_dim) at position p."""
        self.grow(layer, p)
        lk = self.layers[layer]
        s = p % lk.slots
        if self.kv_int8:
            lk.keys[s], lk.key_scales[s] = int8_quantise(k)
            lk.values[s], lk.value_scales[s] = int8_quantise(v)
        else:
            lk.keys[s], lk.values[s] = k, v

    def window_start(self, layer: int, p: int) -> int:
        g, lk = self.geom, self.layers[layer]
        s = max(p + 1 - lk.slots, 0)
        if layer not in g.global_layers and g.kv_window:
            s = max(s, p + 1 - g.kv_window, 0)
        return s


def kv_bytes(geom: Gen3Geometry, seq_len: int, kv_int8: bool = False) -> int:
    g = geom
    per = (g.num_kv_heads * (g.head_dim + g.v_head_dim + 8) if kv_int8
           else 4 * g.num_kv_heads * (g.head_dim + g.v_head_dim))
    total = 0
    for layer in range(g.num_layers):
        w = seq_len if (layer in g.global_layers or g.kv_window == 0) else min(g.kv_window, seq_len)
        total += w * per
    return total


# ----------------------------------------------------------------------------
# Confidence head


class ConfidenceCollector:
    """Online attention pooling of every cell's states (stage 1) and the
    three later stages at finish()."""

    def __init__(self, head: dict, d_model: int, cells: int):
        self.h, self.d, self.cells = head, d_model, cells
        rows = head["cell_probes"].shape[0]
        if rows % cells or len(head["cell_scales"]) != rows:
            raise ValueError("probe head shapes disagree with num_layers + 1 cells")
        self.P = rows // cells
        k = cells * self.P
        self.m = np.full(k, -np.inf, F32)
        self.s = np.zeros(k, F32)
        self.acc = np.zeros((k, d_model), F32)
        self.inv_sqrt_d = F32(1) / np.sqrt(F32(d_model))

    def __call__(self, cell: int, states: np.ndarray) -> None:
        """states: (positions, d_model) of one cell, in position order."""
        ks = slice(cell * self.P, (cell + 1) * self.P)
        probes = self.h["cell_probes"][ks]
        for hvec in states:
            u = (probes @ hvec) * self.inv_sqrt_d
            m_old = self.m[ks]
            m_new = np.maximum(u, m_old)
            with np.errstate(invalid="ignore"):
                alpha = np.where(np.isfinite(m_old), np.exp(m_old - m_new), F32(0)).astype(F32)
            beta = np.exp(u - m_new).astype(F32)
            self.s[ks] = self.s[ks] * alpha + beta
            self.acc[ks] = self.acc[ks] * alpha[:, None] + hvec[None, :] * beta[:, None]
            self.m[ks] = m_new

    def finish(self) -> tuple[float, float]:
        """(logit out_0, probability sigmoid(out_0))."""
        h, d = self.h, self.d
        pooled = self.acc * (F32(1) / self.s)[:, None]
        pooled = pooled * rms_inv(pooled)
        pooled = pooled * h["cell_scales"][:, None]
        hp = h["head_probes"]
        Q, K = hp.shape[0], pooled.shape[0]
        bias = h["pool_bias"].reshape(Q, K)
        parts = []
        for q in range(Q):
            e = (pooled @ hp[q]) * self.inv_sqrt_d + bias[q]
            parts.append(softmax(e) @ pooled)
        z = np.concatenate(parts).astype(F32)
        hb = h["head_bias"]
        out0 = F32(h["head_proj"][0] @ z) + (hb[0] if len(hb) else F32(0))
        return float(out0), float(sigmoid(out0))


# ----------------------------------------------------------------------------
# Model


class Reference:
    """The generation-3 forward pass over the blocks the model holds."""

    def __init__(self, model: Gen3Model):
        g = model.geom
        t = model.tensors
        self.geom, self.model = g, model
        self.d, self.n = g.d_model, g.mhc_lanes
        self.emb = np.asarray(t["embedding"], F32)
        self.emb_scale = np.sqrt(F32(self.emb.shape[1]))
        self.blocks = []
        for layer in range(g.num_layers):
            b = {name: np.asarray(t[f"blocks.{layer}.{name}"], F32) for name, _, _ in block_canon(g)}
            b["attn_gate"] = F32(b["attn_gate"].reshape(-1)[0])
            for name in ("q", "k", "v"):
                if g.qkv_conv_taps:
                    b[name + "_taps"] = b[name + "_taps"].reshape(g.qkv_conv_taps, -1)
            b["ff_router"] = b["ff_router"].reshape(g.d_model, g.num_experts)
            b["ff_expert_scales"] = b["ff_expert_scales"].reshape(g.num_experts, -1)
            self.blocks.append(b)
        self.lane = {name: np.asarray(t[name], F32) for name in LANE_VECTORS + LANE_MATRICES}
        self.perm_a = perm_indices(t["perm_a"]) if len(t["perm_a"]) else None
        self.perm_b = perm_indices(t["perm_b"]) if len(t["perm_b"]) else None
        self.sites = [{
            "tables": np.asarray(t[f"engram.{s}.tables"], F32),
            "key_proj": np.asarray(t[f"engram.{s}.key_proj"], F32),
            "value_proj": np.asarray(t[f"engram.{s}.value_proj"], F32),
            "taps": np.asarray(t[f"engram.{s}.taps"], F32).reshape(g.conv_taps, g.d_model),
        } for s in range(len(g.engram_sites))]
        self.final_norm = np.asarray(t["final_norm"], F32)
        self.heads = [{k[len(f"heads.{h}."):]: np.asarray(v, F32) for k, v in t.items()
                       if k.startswith(f"heads.{h}.")} for h in range(len(model.heads))]
        self.cos, self.sin = rope_tables(g.max_seq_len, g.head_dim, g.rope_theta)
        self.kv_of_head = np.arange(g.num_heads) // g.group_size

    # -- public ---------------------------------------------------------------
    def new_cache(self, requested: int, kv_int8: bool = False) -> Cache:
        return Cache(self.geom, requested, kv_int8)

    def step(self, cache: Cache, token: int) -> np.ndarray:
        """Logits of one token at cache.position; advances the cache."""
        g, p = self.geom, cache.position
        if p >= g.max_seq_len:
            raise ValueError("sequence exceeds max_seq_len")
        cache.tokens = (cache.tokens + [int(token)])[-g.max_order:]
        keys, convs = self._engram(cache.tokens, [len(cache.tokens) - 1], [p],
                                   cache.site_history)
        positions = np.array([p])

        def attend(layer, q, k, v):
            cache.store(layer, p, k[0], v[0])
            return self._attend_cache(cache, layer, q[0], p)[None]

        logits = self._forward(np.array([token]), positions, keys, convs, attend,
                               cache, None)
        cache.position += 1
        return logits[0]

    def prefill(self, tokens, cache: Cache | None = None,
                collector: Callable | None = None) -> np.ndarray:
        """Logits of every position (positions x logit width) from position 0.
        With a cache (fresh), it afterwards holds what the next step needs."""
        g = self.geom
        tokens = [int(x) for x in tokens]
        n = len(tokens)
        if cache is not None and cache.position != 0:
            raise ValueError("prefill starts from an empty cache")
        if n > g.max_seq_len:
            raise ValueError("sequence exceeds max_seq_len")
        hist = (cache.site_history if cache is not None
                else [np.zeros((max(g.conv_taps - 1, 0) * g.tap_spacing, g.d_model), F32)
                      for _ in g.engram_sites])
        keys, convs = self._engram(tokens, list(range(n)), list(range(n)), hist)
        positions = np.arange(n)
        int8 = cache is not None and cache.kv_int8

        def attend(layer, q, k, v):
            if cache is not None:
                for p in range(n):
                    cache.store(layer, p, k[p], v[p])
            return self._attend_causal(layer, q, k, v, int8)

        logits = self._forward(np.array(tokens), positions, keys, convs, attend,
                               cache, collector)
        if cache is not None:
            cache.tokens = tokens[-g.max_order:]
            cache.position = n
        return logits

    def confidence(self, tokens, head: int = 0) -> tuple[float, float] | None:
        """(logit, probability) of confidence head `head` over the ids, or
        None without a head. The ids are cut to max_seq_len."""
        if head >= len(self.heads):
            return None
        tokens = list(tokens)[:self.geom.max_seq_len]
        col = ConfidenceCollector(self.heads[head], self.d, self.geom.num_layers + 1)
        self.prefill(tokens, None, col)
        return col.finish()

    # -- forward ----------------------------------------------------------------
    def embed(self, tokens: np.ndarray) -> np.ndarray:
        rows = np.minimum(np.asarray(tokens, np.int64), self.geom.vocab_size - 1)
        return (self.emb[rows] * self.emb_scale).astype(F32)

    def _forward(self, tokens, positions, keys, convs, attend, cache, collector):
        g = self.geom
        x0 = self.embed(tokens)                                  # (P, d)
        if collector is not None:
            collector(0, x0)
        stream = np.repeat(x0[:, None, :], self.n, axis=1)        # (P, lanes, d)
        for layer in range(g.num_layers):
            stream = self._block(layer, stream, positions, keys, convs, attend, cache)
            if collector is not None:
                collector(layer + 1, self.lane_mean(stream))
        y = rms_norm_offset(self.lane_mean(stream), self.final_norm)
        return (y @ self.emb[:g.logit_width].T).astype(F32)

    def lane_mean(self, stream: np.ndarray) -> np.ndarray:
        return (np.sum(stream, axis=1, dtype=F32) / F32(self.n)).astype(F32)

    def _block(self, layer, stream, positions, keys, convs, attend, cache):
        g, b = self.geom, self.blocks[layer]
        x_in = self.pre_mix(layer, stream)
        x = x_in.copy()
        if layer in g.engram_sites:
            s = g.engram_sites.index(layer)
            x = self.engram_gate(x, keys[s], convs[s])
        xn = rms_norm_offset(x, b["norm_in"])
        q, k, v = self._qkv(layer, xn, positions, cache)
        o = attend(layer, q, k, v).reshape(len(positions), -1)
        o = o * sigmoid(xn @ b["gate_proj"].T)
        a = rms_norm_offset((o @ b["out_proj"].T).astype(F32), b["post_norm"])
        x = (x + sigmoid(b["attn_gate"]) * a).astype(F32)
        u = rms_norm_offset(x, b["pre_hada"])
        x = (x + self.feed_forward(layer, u)).astype(F32)
        return self.post_mix(layer, stream, x - x_in)

    # -- lanes ------------------------------------------------------------------
    def _lane_logits(self, name, layer, per, stream):
        P = stream.shape[0]
        s = rms_norm_plain(stream.reshape(P, -1))
        rows = self.lane[name][layer * per:(layer + 1) * per]
        return (s @ rows.T).astype(F32)

    def pre_mix(self, layer, stream):
        n, lane = self.n, self.lane
        p = self._lane_logits("mhc_phi_pre", layer, n, stream)
        beta = np.where(np.arange(n) == layer % n, F32(4), F32(-4))
        gate = sigmoid(p * lane["mhc_a_pre"][layer] + lane["mhc_b_pre"][layer * n:(layer + 1) * n] + beta)
        return np.einsum("pi,pid->pd", gate, stream).astype(F32)

    def post_mix(self, layer, stream, delta):
        n, lane = self.n, self.lane
        q = self._lane_logits("mhc_phi_post", layer, n, stream)
        m = self._lane_logits("mhc_phi_res", layer, n * n, stream)
        gamma = np.where(np.arange(n) == layer % n, F32(0), F32(-4))
        b_post = lane["mhc_b_post"][layer * n:(layer + 1) * n]
        h = F32(2) * sigmoid(q * lane["mhc_a_post"][layer] + b_post + gamma)        # (P, n)
        b_res = lane["mhc_b_res"][layer * n * n:(layer + 1) * n * n]
        mix = m * lane["mhc_a_res"][layer] + b_res                                    # (P, n*n)
        mix = sinkhorn_project(mix.reshape(-1, n, n))
        out = np.einsum("pik,pkd->pid", mix, stream) + h[:, :, None] * delta[:, None, :]
        return out.astype(F32)

    # -- attention ----------------------------------------------------------------
    def _qkv(self, layer, xn, positions, cache):
        """Projections, short convolution, per-head norms, rotary embedding and
        (int8 sessions) the int8 rounding of q. Returns (P, heads, width) arrays."""
        g, b = self.geom, self.blocks[layer]
        P = xn.shape[0]
        out = {}
        for name in ("q", "k", "v"):
            raw = (xn @ b[name + "_proj"].T).astype(F32)
            if g.qkv_conv_taps:
                past = (cache.layers[layer].conv[name] if cache is not None
                        else np.zeros((g.qkv_conv_taps - 1, raw.shape[1]), F32))
                raw, past = short_conv(raw, past, b[name + "_taps"])
                if cache is not None:
                    cache.layers[layer].conv[name] = past
            out[name] = raw
        q = out["q"].reshape(P, g.num_heads, g.head_dim)
        k = out["k"].reshape(P, g.num_kv_heads, g.head_dim)
        v = out["v"].reshape(P, g.num_kv_heads, g.v_head_dim)
        q = self.head_norm(q, b["q_norm"])
        k = self.head_norm(k, b["k_norm"])
        cos, sin = self.cos[positions], self.sin[positions]
        q, k = rope_rotate(q, cos, sin), rope_rotate(k, cos, sin)
        if cache is not None and cache.kv_int8:
            q = int8_round_trip(q)
        return q, k, v

    @staticmethod
    def head_norm(x, w):
        """Per head: (1 + w) * x / r (division by r)."""
        hd = F32(x.shape[-1])
        r = np.sqrt(np.sum(x * x, axis=-1, keepdims=True, dtype=F32) / hd + EPS)
        return ((F32(1) + w) * x / r).astype(F32)

    def _attend_cache(self, cache, layer, q, p):
        """q: (heads, head_dim) -> (heads, v_head_dim) over the cache window."""
        g, lk = self.geom, cache.layers[layer]
        s = cache.window_start(layer, p)
        slots = np.arange(s, p + 1) % lk.slots
        kv = self.kv_of_head
        inv = F32(1) / np.sqrt(F32(g.head_dim))
        K, V = lk.keys[slots][:, kv], lk.values[slots][:, kv]      # (T, heads, w)
        if cache.kv_int8:
            ks, vs = lk.key_scales[slots][:, kv].T, lk.value_scales[slots][:, kv].T  # (heads, T)
            e = np.einsum("thd,hd->ht", K.astype(F32), q) * ks * inv
        else:
            e = np.einsum("thd,hd->ht", K, q) * inv
        e = e.astype(F32)
        a = np.exp(e - np.max(e, axis=1, keepdims=True))
        S = np.sum(a, axis=1, keepdims=True, dtype=F32)
        if cache.kv_int8:
            coef = (F32(1) / S) * a * vs
            return np.einsum("ht,thd->hd", coef.astype(F32), V.astype(F32)).astype(F32)
        return np.einsum("ht,thd->hd", (a / S).astype(F32), V).astype(F32)

    def _attend_causal(self, layer, q, k, v, int8):
        """All positions at once: causal, windowed on non-global layers."""
        g = self.geom
        P = q.shape[0]
        kv = self.kv_of_head
        inv = F32(1) / np.sqrt(F32(g.head_dim))
        if int8:
            kc, ks = int8_quantise(k)
            vc, vs = int8_quantise(v)
            e = np.einsum("thd,phd->hpt", kc[:, kv].astype(F32), q) * ks[:, kv].T[:, None, :] * inv
        else:
            e = np.einsum("thd,phd->hpt", k[:, kv], q) * inv
        i = np.arange(P)[:, None]
        t = np.arange(P)[None, :]
        allowed = t <= i
        if layer not in g.global_layers and g.kv_window:
            allowed &= t >= i + 1 - g.kv_window
        e = np.where(allowed[None], e, -np.inf).astype(F32)
        a = np.exp(e - np.max(e, axis=2, keepdims=True))
        S = np.sum(a, axis=2, keepdims=True, dtype=F32)
        if int8:
            coef = (F32(1) / S) * a * vs[:, kv].T[:, None, :]
            return np.einsum("hpt,thd->phd", coef.astype(F32), vc[:, kv].astype(F32)).astype(F32)
        return np.einsum("hpt,thd->phd", (a / S).astype(F32), v[:, kv]).astype(F32)

    # -- feed-forward -------------------------------------------------------------
    def feed_forward(self, layer, u):
        """Hadamard feed-forward of u (P, d_model) -> (P, d_model)."""
        g, b = self.geom, self.blocks[layer]
        N, d = g.hada_n, self.d
        r, c = g.ff_factors
        v = np.zeros((u.shape[0], N), F32)
        v[:, :d] = u
        v = v * b["ff_in_scale"][:N]
        sm = softmax((u @ b["ff_router"]).astype(F32))             # (P, E)
        mix = np.ones((u.shape[0], N), F32)
        for e in range(g.num_experts):
            w = sm[:, e:e + 1]
            mix = mix + np.where(w != 0, w * b["ff_expert_scales"][e, :N], F32(0))
        w = two_factor(v, b["ff_a1"], b["ff_b1"], r, c)
        v = w[:, self.perm_a] if self.perm_a is not None else w
        h = b["ff_gate_scale"][:N] * mix * v + b["ff_gate_bias"][:N]
        v = (h * sigmoid(h)).astype(F32)
        w = two_factor(v, b["ff_a2"], b["ff_b2"], r, c)
        v = w[:, self.perm_b] if self.perm_b is not None else w
        v = v * b["ff_mid_scale"][:N]
        w = two_factor(v, b["ff_a3"], b["ff_b3"], r, c)
        return (w[:, :d] * b["ff_out_scale"][:d]).astype(F32)

    # -- n-gram memory --------------------------------------------------------------
    def fetch(self, site: int, tok, j: int, p: int) -> np.ndarray:
        """Concatenated table rows for the n-grams ending at tok[j] (position p)."""
        g, tables = self.geom, self.sites[site]["tables"]
        out = np.zeros(g.d_model, F32)
        for tau in range(g.num_tables):
            f = tau // g.heads_per_order
            if p + 1 < g.orders[f]:
                continue
            row = engram_row(tok, j, tau, g)
            out[tau * g.sub_dim:(tau + 1) * g.sub_dim] = tables[tau * g.table_rows + row]
        return out

    def _engram(self, tok, js, ps, histories):
        """Keys and convolved values of every site for the given positions;
        histories (per site, oldest first) are advanced in place."""
        g = self.geom
        keys, convs = [], []
        for s, site in enumerate(self.sites):
            F = np.stack([self.fetch(s, tok, j, p) for j, p in zip(js, ps)])
            key = (F @ site["key_proj"].T).astype(F32)
            val = (F @ site["value_proj"].T).astype(F32)
            hist = histories[s]
            H = len(hist)
            full = np.concatenate([hist, val])
            conv = np.zeros_like(val)
            for i, p in enumerate(ps):
                for j in range(g.conv_taps):
                    if j * g.tap_spacing <= p and j * g.max_order <= p:
                        conv[i] += site["taps"][j] * full[H + i - j * g.tap_spacing]
            histories[s] = full[len(full) - H:].copy() if H else hist
            keys.append(key)
            convs.append(conv.astype(F32))
        return keys, convs

    def engram_gate(self, x, key, conv):
        d = F32(self.d)
        c = np.sqrt(np.sum(x * x, axis=-1, keepdims=True, dtype=F32) / d + EPS)
        e = np.sqrt(np.sum(key * key, axis=-1, keepdims=True, dtype=F32) / d + EPS)
        dot = np.sum(x * key, axis=-1, keepdims=True, dtype=F32)
        gate = sigmoid(((F32(1) / e) * ((F32(1) / c) * dot)) / np.sqrt(d))
        return (x + gate * conv).astype(F32)


# ----------------------------------------------------------------------------
# Decode loop


def prompt_ids(encode: Callable[[str], list], query: str, tools_json: str,
               system: str | None = None) -> list[int]:
    """[bos 2] + encode(chat prompt); encode is e.g. a sentencepiece
    processor's encode of the container's tokenizer model."""
    from pinnet_tools.template import build_prompt

    return [BOS_ID] + [int(i) for i in encode(build_prompt(query, tools_json, system))]


def greedy_choice(logits) -> int:
    """Index of the first largest logit; NaN never wins; empty gives 0."""
    best, idx = -np.inf, 0
    for i, v in enumerate(np.asarray(logits, F32)):
        if v > best:
            best, idx = v, i
    return idx


def splitmix64(state: int) -> tuple[int, float]:
    """(new state, u in [0, 1)) of one draw."""
    M = (1 << 64) - 1
    state = (state + 0x9E3779B97F4A7C15) & M
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M
    z ^= z >> 31
    return state, (z >> 11) * 2.0 ** -53


def sample(logits, temperature: float, state: int) -> tuple[int, int]:
    """(id, new state): weights exp((l - max) / T) in single precision,
    summed and scanned in double precision."""
    lg = np.asarray(logits, F32)
    inv = F32(1) / F32(temperature)
    m = np.fmax.reduce(lg) if len(lg) else F32(0)
    w = np.exp((lg - m) * inv).astype(F32)
    total = 0.0
    for x in w:
        total += float(x)
    state, u = splitmix64(state)
    r = u * total
    for i, x in enumerate(w):
        r -= float(x)
        if r <= 0:
            return i, state
    return len(lg) - 1, state


def greedy_generate(reference: Reference, prompt_ids, max_new_tokens: int = 256,
                    im_end_id: int | None = None, kv_int8: bool = False,
                    temperature: float = 0.0, seed: int = 0) -> dict:
    """The generation-3 decode loop without constrained decoding: prompt cut to
    max_seq_len, budget clipped to the room left, stop on id 1 (Eos), the
    "<|im_end|>" id (ImEnd), the budget (MaxTokens); a cut prompt reports
    MaxSeqLen. Sampling when temperature > 0 (splitmix64 seeded with seed)."""
    g = reference.geom
    ids = [int(x) for x in prompt_ids]
    truncated = len(ids) > g.max_seq_len
    ids = ids[:g.max_seq_len]
    L = len(ids)
    budget = min(max_new_tokens, g.max_seq_len - L)
    cache = reference.new_cache(L + budget, kv_int8)
    logits = reference.prefill(ids, cache)[-1] if L else np.zeros(0, F32)
    out: list[int] = []
    state, stop = seed, "MaxTokens"
    if budget > 0:
        while True:
            if temperature > 0:
                t, state = sample(logits, temperature, state)
            else:
                t = greedy_choice(logits)
            if t == EOS_ID:
                stop = "Eos"
                break
            if im_end_id is not None and t == im_end_id:
                stop = "ImEnd"
                break
            out.append(t)
            if cache.position >= g.max_seq_len:
                stop = "MaxSeqLen"
                break
            logits = reference.step(cache, t)
            if len(out) == budget:
                stop = "MaxTokens"
                break
    return {"token_ids": out, "generated": len(out), "positions": cache.position,
            "prompt_truncated": truncated, "stop_reason": "MaxSeqLen" if truncated else stop}
