"""An independent float32 reference of the generation-2 model, computed from
dequantised weights (a `gen2.Gen2Model`, normally `model.dequantised` after
`gen2.write_gen2`, or a container loaded with `gen2_loader.load_v2`). The runtime is
tested against it. One position at a time, written plainly in the order of
the runtime's step; sums may accumulate in a different order, so tests use
error bands. A codebook product equals the product with the dequantised
matrix (the per-group rotation is orthonormal), so the rotated-input detail
of the runtime does not appear here.

    ref = Gen2Reference(model.dequantised)          # or Gen2Reference(path_or_bytes)
    state = ref.new_state()
    logits = ref.prefill([ref.bos_id] + ids, state)
    logits = ref.step(int(np.argmax(logits)), state)
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from pinnet_tools.cq_quantise import fwht
from pinnet_tools.gen2 import (HEAD_CONTRASTIVE, LANE_MATRICES, LANE_VECTORS, Gen2Geometry,
                               Gen2Model, block_canon)

from .gen2_loader import load_v2
from .gen3_reference import (greedy_choice, rms_norm_offset, rms_norm_plain, rope_rotate,
                             rope_tables, sample, sigmoid, sinkhorn_project, softmax)

F32 = np.float32
U32 = 0xFFFFFFFF
HASH_SEED_MUL = 0x9E3779B9
HASH_ROUND_MUL = 16777619
SEED_OFFSET = 0x9E3779B97F4A7C15  # added to the sampling seed


class ModelError(Exception):
    """A refused step or prefill; str() is the runtime's message."""


def l2_normalize(y: np.ndarray) -> np.ndarray:
    y = np.asarray(y, F32)
    return (y * (F32(1) / np.sqrt(np.sum(y * y, dtype=F32) + F32(1e-12)))).astype(F32)


def silu(z: np.ndarray) -> np.ndarray:
    return (z * sigmoid(z)).astype(F32)


def engram_row(history, p: int, table: int, geom: Gen2Geometry) -> int | None:
    """Row (within all tables of a site) for table `table` at position p, or
    None while fewer than n tokens exist. Wrapping 32-bit arithmetic: the
    most recent token is mixed in first, and every order step multiplies
    whether or not a token was there."""
    n = geom.orders[table // geom.tables_per_order]
    h = ((table + 1) * HASH_SEED_MUL) & U32
    for i in range(n):
        if p >= i:
            h ^= int(history[p - i]) & U32
        h = (h * HASH_ROUND_MUL) & U32
    if n and p < n - 1:
        return None
    return geom.table_rows * table + ((h ^ (h >> 15)) % geom.table_rows)


@dataclass
class Gen2State:
    """One sequence: position, token history, per-block key/value rings of
    `capacity` slots (layout [kv head][slot][k]), lanes, and per site the
    latest engram key, the value ring and the latest convolution."""

    geom: Gen2Geometry
    capacity: int
    window: int
    position: int = 0
    history: np.ndarray = None
    keys: list = field(default_factory=list)
    values: list = field(default_factory=list)
    lanes: np.ndarray = None
    engram_keys: np.ndarray = None
    engram_ring: np.ndarray = None
    engram_conv: np.ndarray = None

    def __post_init__(self):
        g = self.geom
        E, D = len(g.engram_sites), g.d_model
        self.history = np.zeros(g.max_seq_len, np.uint32)
        shape = (g.num_kv_heads, self.capacity, g.head_dim)
        self.keys = [np.zeros(shape, F32) for _ in range(g.num_layers)]
        self.values = [np.zeros(shape, F32) for _ in range(g.num_layers)]
        self.lanes = np.zeros((g.mhc_lanes, D), F32)
        self.engram_keys = np.zeros((E, D), F32)
        self.engram_ring = np.zeros((E, g.ring, D), F32)
        self.engram_conv = np.zeros((E, D), F32)

    def reset(self) -> None:
        """Position 0, caches, value rings and history zeroed, window 0."""
        self.position, self.window = 0, 0
        self.history[:] = 0
        for a in self.keys + self.values:
            a[:] = 0
        self.engram_ring[:] = 0


class Gen2Reference:
    """The generation-2 forward pass, pooling heads and decode loop."""

    def __init__(self, source, tokenizer_blob: bytes | None = None):
        if isinstance(source, (bytes, bytearray, memoryview, str, os.PathLike)):
            source = load_v2(bytes(source) if not isinstance(source, (str, os.PathLike))
                             else source)
        model: Gen2Model = source.dequantised if source.dequantised is not None else source
        g, t = model.geom, model.tensors
        self.geom, self.model = g, model
        self.D, self.L = g.d_model, g.mhc_lanes
        self.emb = np.asarray(t["embedding"], F32)
        self.emb_scale = np.sqrt(F32(g.d_model))
        self.blocks = []
        for layer in range(g.num_layers):
            b = {name: np.asarray(t[f"blocks.{layer}.{name}"], F32) for name, _, _ in block_canon(g)}
            b["attn_gate"] = F32(b["attn_gate"].reshape(-1)[0])
            self.blocks.append(b)
        self.lane = {k: np.asarray(t[k], F32).reshape(-1) for k in LANE_VECTORS}
        self.lane.update({k: np.asarray(t[k], F32) for k in LANE_MATRICES})
        self.sites = [{part: np.asarray(t[f"engram.{s}.{part}"], F32)
                       for part in ("tables", "key_proj", "value_proj", "taps")}
                      for s in range(len(g.engram_sites))]
        self.final_norm = np.asarray(t["final_norm"], F32)
        self.heads = [{"code": spec.code,
                       "probes": np.asarray(t[f"heads.{i}.probes"], F32),
                       "proj": np.asarray(t[f"heads.{i}.proj"], F32),
                       "bias": np.asarray(t[f"heads.{i}.bias"], F32)}
                      for i, spec in enumerate(model.heads)]
        self.cos, self.sin = rope_tables(g.max_seq_len, g.head_dim, g.rope_theta)
        self.kv_of_head = np.arange(g.num_heads) // g.group_size
        blob = tokenizer_blob if tokenizer_blob is not None else model.tokenizer_blob
        self.tokenizer_blob = blob
        self.pad_id = self.eos_id = self.bos_id = self.im_end_id = None
        if blob is not None:
            from pinnet_tools.tokenizer_blob import parse_blob

            _, self.pad_id, self.eos_id, self.bos_id, _ = struct.unpack_from("<5I", blob)
            texts = [p.text for p in parse_blob(blob).pieces]
            hits = [i for i, s in enumerate(texts) if s == "<|im_end|>"]
            self.im_end_id = hits[-1] if hits else None  # the piece map keeps the last id

    # -- state --------------------------------------------------------------------
    def new_state(self, capacity: int | None = None, window: int | None = None) -> Gen2State:
        """Defaults: the engine's rule (the window's ring when it fits)."""
        g = self.geom
        return Gen2State(g, g.kv_capacity if capacity is None else capacity,
                         g.kv_window if window is None else window)

    @staticmethod
    def reset_state(state: Gen2State) -> None:
        state.reset()

    # -- public ---------------------------------------------------------------------
    def step(self, token: int, state: Gen2State, trace: list | None = None,
             pool: Callable | None = None) -> np.ndarray:
        """Logits of one token at state.position; advances the state. `trace`
        collects one dict per block (pre-mix weights, q, k, v, attention
        positions and slots, head outputs, residual matrix, post weights);
        `pool` receives the scaled embedding and each block's lane mean."""
        g, p = self.geom, state.position
        if p >= g.max_seq_len:
            raise ModelError("sequence exceeds max_seq_len")
        if token >= g.vocab_size or token < 0:
            raise ModelError("token id outside vocabulary")
        state.history[p] = token
        e = (self.emb[token] * self.emb_scale).astype(F32)
        if pool is not None:
            pool(e)
        state.lanes[:] = e
        for s in range(len(g.engram_sites)):
            self._engram_fetch(s, p, state)
        for layer in range(g.num_layers):
            self._block(layer, p, state, None if trace is None else trace.append)
            if pool is not None:
                pool(self.lane_mean(state.lanes))
        hidden = rms_norm_offset(self.lane_mean(state.lanes), self.final_norm)
        state.position += 1
        return (self.emb @ hidden).astype(F32)

    def prefill(self, tokens, state: Gen2State) -> np.ndarray | None:
        """The prefill's checks (nothing changes when one fails), then one
        step per token; the last position's logits (None for no tokens)."""
        g = self.geom
        tokens = [int(x) for x in tokens]
        if state.position + len(tokens) > g.max_seq_len:
            raise ModelError("sequence exceeds max_seq_len")
        if any(t >= g.vocab_size or t < 0 for t in tokens):
            raise ModelError("token id outside vocabulary")
        logits = None
        for t in tokens:
            logits = self.step(t, state)
        return logits

    def lane_mean(self, lanes: np.ndarray) -> np.ndarray:
        return (np.sum(lanes, axis=0, dtype=F32) / F32(self.L)).astype(F32)

    # -- engram -------------------------------------------------------------------------
    def fetched(self, s: int, p: int, history) -> np.ndarray:
        g, tables = self.geom, self.sites[s]["tables"]
        f = np.zeros(g.num_tables * g.sub_dim, F32)
        for j in range(g.num_tables):
            row = engram_row(history, p, j, g)
            if row is not None:
                f[j * g.sub_dim:(j + 1) * g.sub_dim] = tables[row]
        return f

    def _engram_fetch(self, s: int, p: int, state: Gen2State) -> None:
        g, site = self.geom, self.sites[s]
        f = self.fetched(s, p, state.history)
        state.engram_ring[s, p % g.ring] = site["value_proj"] @ f
        state.engram_keys[s] = site["key_proj"] @ f
        conv = np.zeros(g.d_model, F32)
        for m in range(g.conv_taps):
            back = m * g.tap_spacing
            if p >= back:
                conv = conv + site["taps"][m] * state.engram_ring[s, (p - back) % g.ring]
        state.engram_conv[s] = conv

    # -- one block ----------------------------------------------------------------------
    def _block(self, layer: int, p: int, state: Gen2State, record) -> None:
        g, b, lane = self.geom, self.blocks[layer], self.lane
        L, D = self.L, self.D
        lanes = state.lanes
        z_hat = rms_norm_plain(lanes.reshape(-1))
        # pre-mix
        c = np.where(np.arange(L) == layer % L, F32(4), F32(-4))
        pi = lane["mhc_phi_pre"][layer * L:(layer + 1) * L] @ z_hat
        w = sigmoid(pi * lane["mhc_a_pre"][layer] + lane["mhc_b_pre"][layer * L:(layer + 1) * L] + c)
        x = np.sum(w[:, None] * lanes, axis=0, dtype=F32)
        r = x.copy()
        # engram read (the first entry naming this block)
        if layer in g.engram_sites:
            s = g.engram_sites.index(layer)
            xh = rms_norm_plain(x)
            kh = rms_norm_plain(state.engram_keys[s])
            gate = sigmoid(np.dot(xh, kh) / np.sqrt(F32(D)))
            r = (x + gate * state.engram_conv[s]).astype(F32)
        # attention
        a = rms_norm_offset(r, b["norm_in"])
        H, K, hd = g.num_heads, g.num_kv_heads, g.head_dim
        q = (b["q_proj"] @ a).reshape(H, hd)
        k = (b["k_proj"] @ a).reshape(K, hd)
        v = (b["v_proj"] @ a).reshape(K, hd)
        gate_v = b["gate_proj"] @ a
        q = rms_norm_offset(q, b["q_norm"])
        k = rms_norm_offset(k, b["k_norm"])
        cos, sin = self.cos[p:p + 1], self.sin[p:p + 1]
        q = rope_rotate(q[None], cos, sin)[0]
        k = rope_rotate(k[None], cos, sin)[0]
        cap, window = state.capacity, state.window
        slot = p % cap
        state.keys[layer][:, slot] = k
        state.values[layer][:, slot] = v
        w0 = p - window + 1 if window and p + 1 >= window else 0
        positions = np.arange(w0, p + 1)
        slots = positions % cap
        inv = F32(1) / np.sqrt(F32(hd))
        out = np.zeros((H, hd), F32)
        for h in range(H):
            kv = self.kv_of_head[h]
            scores = (state.keys[layer][kv, slots] @ q[h]) * inv
            weights = softmax(scores)
            acc = np.zeros(hd, F32)
            for wgt, sl in zip(weights, slots):
                acc = acc + wgt * state.values[layer][kv, sl]
            out[h] = acc
        o = (out.reshape(-1) * sigmoid(gate_v)).astype(F32)
        y = rms_norm_offset((b["out_proj"] @ o).astype(F32), b["post_norm"])
        h1 = (r + sigmoid(b["attn_gate"]) * y).astype(F32)
        # Hadamard feed-forward
        u = rms_norm_offset(h1, b["pre_hada"])
        N = g.hada_n
        hv = np.zeros(N, F32)
        hv[:D] = u * b["d1"][:D]
        hv = fwht(hv)
        hv = silu(hv * b["d2"])
        hv = fwht(hv)
        h2 = (h1 + hv[:D] * b["d3"][:D]).astype(F32)
        delta = (h2 - x).astype(F32)
        # post-mix and residual mixing, from the lanes before this block
        c2 = np.where(np.arange(L) == layer % L, F32(0), F32(-4))
        post = lane["mhc_phi_post"][layer * L:(layer + 1) * L] @ z_hat
        beta = F32(2) * sigmoid(post * lane["mhc_a_post"][layer]
                                + lane["mhc_b_post"][layer * L:(layer + 1) * L] + c2)
        res = lane["mhc_phi_res"][layer * L * L:(layer + 1) * L * L] @ z_hat
        logits = res * lane["mhc_a_res"][layer] + lane["mhc_b_res"][layer * L * L:(layer + 1) * L * L]
        mix = sinkhorn_project(logits.reshape(L, L))
        state.lanes[:] = (mix @ lanes + beta[:, None] * delta[None, :]).astype(F32)
        if record is not None:
            record(dict(layer=layer, pre_weights=w, x=x, q=q, k=k, v=v, positions=positions,
                        slots=slots, head_out=out, residual_matrix=mix, post_weights=beta))

    # -- pooling heads ------------------------------------------------------------------
    def run_head(self, code: int, token_ids, add_bos: bool = True) -> np.ndarray | None:
        """The head's output over [bos] + token_ids (the text's encoding), cut
        to max_seq_len, from a fresh state (capacity max_seq_len, window 0);
        None without a head of that code, without a tokenizer, for an id
        outside the vocabulary, or when nothing was pooled (all pad)."""
        g = self.geom
        head = next((h for h in self.heads if h["code"] == code), None)
        if head is None or self.tokenizer_blob is None:
            return None
        ids = ([self.bos_id] if add_bos else []) + [int(x) for x in token_ids]
        ids = ids[:g.max_seq_len]
        state = self.new_state(g.max_seq_len, 0)
        probes = head["probes"]
        P, W = probes.shape[0], g.d_model
        sigma = np.sqrt(F32(W))
        m = np.full(P, -np.inf, F32)
        s = np.zeros(P, F32)
        acc = np.zeros((P, W), F32)
        count = 0

        def pool(x):
            nonlocal count
            count += 1
            for i in range(P):
                score = F32(np.dot(probes[i], x[:W]) / sigma)
                if m[i] < score:
                    factor = F32(0) if np.isneginf(m[i]) else np.exp(F32(m[i] - score))
                    s[i] *= factor
                    acc[i] *= factor
                    m[i] = score
                f = np.exp(F32(score - m[i]))
                s[i] += f
                acc[i] += f * x[:W]

        for t in ids:
            if t >= g.vocab_size:
                return None
            self.step(t, state, pool=None if t == self.pad_id else pool)
        if count == 0:
            return None
        pooled = (acc * (F32(1) / s)[:, None]).reshape(-1).astype(F32)
        y = (head["proj"] @ pooled + head["bias"]).astype(F32)
        return l2_normalize(y) if code == HEAD_CONTRASTIVE else y


# ----------------------------------------------------------------------------
# Decode loop


def greedy_generate(reference: Gen2Reference, prompt_ids, max_new_tokens: int = 128,
                    temperature: float = 0.0, seed: int = 0) -> dict:
    """The generation-2 decode loop without constrained decoding. prompt_ids
    are the tokenizer's ids of the prompt text; the bos id goes in front and
    the first min(L, max(max_seq_len - max_new_tokens, 1)) ids are kept. The
    budget is max_new_tokens itself; stops on the eos id (Eos), the
    "<|im_end|>" id (ImEnd), the budget (MaxTokens), a full context
    (ContextFull) or a model error (Error("message"))."""
    g, ref = reference.geom, reference
    ids = [ref.bos_id] + [int(x) for x in prompt_ids]
    keep = min(len(ids), max(g.max_seq_len - max_new_tokens, 1))
    ids = ids[:keep]
    state = ref.new_state()
    out: list[int] = []
    rng_state = (seed + SEED_OFFSET) & ((1 << 64) - 1)

    def error(e):
        msg = str(e).replace("\\", "\\\\").replace('"', '\\"')
        return f'Error("{msg}")'

    try:
        logits = ref.prefill(ids, state)
    except ModelError as e:
        return {"token_ids": [], "generated": 0, "prompt_tokens": keep, "stop_reason": error(e)}
    stop = "MaxTokens"
    if max_new_tokens > 0:
        while True:
            if temperature > 0:
                t, rng_state = sample(logits, max(temperature, 1e-6), rng_state)
            else:
                t = greedy_choice(logits)
            if t == ref.eos_id:
                stop = "Eos"
                break
            if ref.im_end_id is not None and t == ref.im_end_id:
                stop = "ImEnd"
                break
            out.append(t)
            if state.position >= g.max_seq_len:
                stop = "ContextFull"
                break
            try:
                logits = ref.step(t, state)
            except ModelError as e:
                stop = error(e)
                break
            if len(out) == max_new_tokens:
                stop = "MaxTokens"
                break
    return {"token_ids": out, "generated": len(out), "prompt_tokens": keep, "stop_reason": stop}
