"""The generation-3 forward pass in JAX, for training.

The same computation as the runtime's prefill and the tests' NumPy reference
(`Reference.prefill` in tests/python/support/gen3_reference.py): same canon,
same geometry, same parameter names, batched over sequences and written for
gradients: parameters are a dict keyed by canon label holding arrays of the
canon shapes, so a trained dict is written by `gen3.write_gen3` as it is.

Padding sits at the end of each sequence; attention is causal, so the real
positions never see it. The depth ladder is trained without recompiling:
`active` (one flag per block) switches blocks off, and the lane a block's
pre/post mix favours follows the block's index within the rung, as the
reference's `apply_rung` renumbers it.

Not covered (the trained models do not use them): n-gram memory sites and
confidence heads.
"""
from __future__ import annotations

import jax
import jax.numpy as jnp
import numpy as np

from ..gen3 import (SINKHORN_ROUNDS, Gen3Geometry, Gen3Model, block_canon, canon,
                    perm_indices, random_model, rope_tables, rung)

EPS = 1e-6


def check_geometry(g: Gen3Geometry) -> None:
    g.validate()
    if g.engram_sites:
        raise ValueError("the training forward pass has no n-gram memory sites")


def init_params(g: Gen3Geometry, seed: int) -> dict:
    """Initial weights: the random-model factory's well-scaled draws (identity
    leaning lanes, orthonormal feed-forward factors) as float32 arrays."""
    check_geometry(g)
    model = random_model(g, seed=seed, bits=4, groups=32)
    return {k: np.asarray(v, np.float32) for k, v in model.tensors.items()}


def frozen_labels(g: Gen3Geometry) -> set:
    """Parameters that are indices rather than weights: never trained."""
    return {"perm_a", "perm_b"}


def to_model(g: Gen3Geometry, params: dict, quant: dict) -> Gen3Model:
    tensors = {e.label: np.asarray(params[e.label], np.float32).reshape(e.shape)
               for e in canon(g, (), tokenizer=False)}
    return Gen3Model(geom=g, tensors=tensors, quant=dict(quant))


# ----------------------------------------------------------------------------
# Pieces, batched over leading axes


def _rms_inv(x):
    return jax.lax.rsqrt(jnp.mean(x * x, axis=-1, keepdims=True) + EPS)


def _norm_offset(x, w):
    return x * (1.0 + w) * _rms_inv(x)


def _sinkhorn(m):
    for _ in range(SINKHORN_ROUNDS):
        m = m - jax.nn.logsumexp(m, axis=-1, keepdims=True)
        m = m - jax.nn.logsumexp(m, axis=-2, keepdims=True)
    return jnp.exp(m)


def _two_factor(v, a, b, r, c):
    lead = v.shape[:-1]
    mat = v.reshape(lead + (r, c))
    out = jnp.einsum("ji,...jc,cd->...id", a.reshape(r, r), mat, b.reshape(c, c))
    return out.reshape(lead + (r * c,))


def _short_conv(raw, taps):
    """Causal depthwise convolution along axis 1 with zero history:
    out[t] = sum_j taps[j] * raw[t - j]."""
    T = taps.shape[0]
    out = taps[0] * raw
    for j in range(1, T):
        shifted = jnp.pad(raw, ((0, 0), (j, 0), (0, 0)))[:, :raw.shape[1]]
        out = out + taps[j] * shifted
    return out


def _rope(x, cos, sin):
    half = x.shape[-1] // 2
    x1, x2 = x[..., :half], x[..., half:]
    c, s = cos[None, :, None, :], sin[None, :, None, :]
    return jnp.concatenate([x1 * c - x2 * s, x1 * s + x2 * c], axis=-1)


def _head_norm(x, w):
    return (1.0 + w) * x * _rms_inv(x)


# ----------------------------------------------------------------------------
# Forward


class Forward:
    """logits(params, tokens, active) -> (B, T, logit width)."""

    def __init__(self, g: Gen3Geometry, max_len: int, perm_a=None, perm_b=None):
        check_geometry(g)
        self.g = g
        cos, sin = rope_tables(max_len, g.head_dim, g.rope_theta)
        self.cos, self.sin = jnp.asarray(cos), jnp.asarray(sin)
        # Gathers differentiate into scatters, which are slow on the CPU; the
        # permutations and the embedding lookup are products with 0/1 matrices.
        self.perm_a = self._perm_matrix(perm_a)
        self.perm_b = self._perm_matrix(perm_b)

    def _perm_matrix(self, perm):
        if perm is None or not len(perm):
            return None
        n = self.g.hada_n
        idx = np.minimum(perm_indices(perm), n - 1)  # out-of-range entries are refused at load
        m = np.zeros((n, n), np.float32)
        m[idx, np.arange(n)] = 1.0                   # (v @ m)[j] = v[idx[j]]
        return jnp.asarray(m)

    def __call__(self, params, tokens, active):
        g = self.g
        B, T = tokens.shape
        n, d = g.mhc_lanes, g.d_model
        emb = params["embedding"]
        onehot = jax.nn.one_hot(jnp.minimum(tokens, g.vocab_size - 1), g.vocab_size, dtype=emb.dtype)
        x0 = (onehot @ emb) * np.float32(np.sqrt(d))
        stream = jnp.broadcast_to(x0[:, :, None, :], (B, T, n, d))
        index = jnp.asarray(0, jnp.int32)  # the block's index within the rung
        for layer in range(g.num_layers):
            new = self._block(params, layer, index, stream)
            on = active[layer]
            stream = jnp.where(on, new, stream)
            index = index + on.astype(jnp.int32)
        y = _norm_offset(jnp.mean(stream, axis=2), params["final_norm"])
        return y @ emb[:g.logit_width].T

    def _lane_logits(self, params, name, layer, per, stream):
        B, T = stream.shape[:2]
        s = stream.reshape(B, T, -1)
        s = s * _rms_inv(s)
        rows = params[name][layer * per:(layer + 1) * per]
        return s @ rows.T

    def _block(self, params, layer, index, stream):
        g = self.g
        n = g.mhc_lanes
        pre = f"blocks.{layer}."
        p = {name: params[pre + name] for name, _, _ in block_canon(g)}
        favoured = jnp.arange(n) == index % n
        # lanes in
        logit = self._lane_logits(params, "mhc_phi_pre", layer, n, stream)
        beta = jnp.where(favoured, 4.0, -4.0)
        gate = jax.nn.sigmoid(logit * params["mhc_a_pre"][layer]
                              + params["mhc_b_pre"][layer * n:(layer + 1) * n] + beta)
        x_in = jnp.einsum("bti,btid->btd", gate, stream)
        # attention
        xn = _norm_offset(x_in, p["norm_in"])
        o = self._attention(p, xn, layer)
        o = o * jax.nn.sigmoid(xn @ p["gate_proj"].T)
        a = _norm_offset(o @ p["out_proj"].T, p["post_norm"])
        x = x_in + jax.nn.sigmoid(p["attn_gate"].reshape(())) * a
        u = _norm_offset(x, p["pre_hada"])
        x = x + self._feed_forward(p, u)
        delta = x - x_in
        # lanes out
        q = self._lane_logits(params, "mhc_phi_post", layer, n, stream)
        m = self._lane_logits(params, "mhc_phi_res", layer, n * n, stream)
        gamma = jnp.where(favoured, 0.0, -4.0)
        h = 2.0 * jax.nn.sigmoid(q * params["mhc_a_post"][layer]
                                 + params["mhc_b_post"][layer * n:(layer + 1) * n] + gamma)
        mix = m * params["mhc_a_res"][layer] + params["mhc_b_res"][layer * n * n:(layer + 1) * n * n]
        mix = _sinkhorn(mix.reshape(mix.shape[:2] + (n, n)))
        return jnp.einsum("btik,btkd->btid", mix, stream) + h[..., None] * delta[:, :, None, :]

    def _attention(self, p, xn, layer):
        g = self.g
        B, T, _ = xn.shape
        raw = {}
        for name in ("q", "k", "v"):
            r = xn @ p[name + "_proj"].T
            if g.qkv_conv_taps:
                r = _short_conv(r, p[name + "_taps"].reshape(g.qkv_conv_taps, -1))
            raw[name] = r
        q = raw["q"].reshape(B, T, g.num_heads, g.head_dim)
        k = raw["k"].reshape(B, T, g.num_kv_heads, g.head_dim)
        v = raw["v"].reshape(B, T, g.num_kv_heads, g.v_head_dim)
        cos, sin = self.cos[:T], self.sin[:T]
        q = _rope(_head_norm(q, p["q_norm"]), cos, sin)
        k = _rope(_head_norm(k, p["k_norm"]), cos, sin)
        q = q.reshape(B, T, g.num_kv_heads, g.group_size, g.head_dim)  # query head = kv * group + j
        e = jnp.einsum("bpkjd,btkd->bkjpt", q, k) * np.float32(1.0 / np.sqrt(g.head_dim))
        i = np.arange(T)[:, None]
        t = np.arange(T)[None, :]
        allowed = t <= i
        if layer not in g.global_layers and g.kv_window:
            allowed &= t >= i + 1 - g.kv_window
        e = jnp.where(allowed, e, -jnp.inf)
        a = jax.nn.softmax(e, axis=-1)
        return jnp.einsum("bkjpt,btkd->bpkjd", a, v).reshape(B, T, -1)

    def _feed_forward(self, p, u):
        g = self.g
        N, d, E = g.hada_n, g.d_model, g.num_experts
        r, c = g.ff_factors
        v = jnp.pad(u, ((0, 0), (0, 0), (0, N - d))) * p["ff_in_scale"][:N]
        sm = jax.nn.softmax(u @ p["ff_router"].reshape(d, E), axis=-1)
        mix = 1.0 + sm @ p["ff_expert_scales"].reshape(E, -1)[:, :N]
        w = _two_factor(v, p["ff_a1"], p["ff_b1"], r, c)
        v = w @ self.perm_a if self.perm_a is not None else w
        h = p["ff_gate_scale"][:N] * mix * v + p["ff_gate_bias"][:N]
        v = h * jax.nn.sigmoid(h)
        w = _two_factor(v, p["ff_a2"], p["ff_b2"], r, c)
        v = w @ self.perm_b if self.perm_b is not None else w
        v = v * p["ff_mid_scale"][:N]
        w = _two_factor(v, p["ff_a3"], p["ff_b3"], r, c)
        return w[..., :d] * p["ff_out_scale"][:d]


def rung_flags(g: Gen3Geometry, k: int) -> np.ndarray:
    """Per-block flags of the k-block rung (all blocks at k = num_layers)."""
    flags = np.zeros(g.num_layers, bool)
    flags[rung(g.num_layers, k)] = True
    return flags
