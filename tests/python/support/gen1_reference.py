"""An independent float32 reference of the generation-1 encoder-decoder,
computed from the weights the runtime multiplies by: every linear layer
quantised to 4 bits and dequantised (`gen1.Gen1Model.dequantised`), so the
runtime and this reference differ only in summation order (tests use error
bands). Missing tensors degrade as in the runtime: linear layers and norms
to zeros, gates to logit 0.

    ref = Gen1Reference(model)                 # or Gen1Reference(path_or_bytes)
    ids = ref.greedy(query_ids, tools_ids)     # the runner's constrained-free loop
    enc, cross = ref.encode(ids)
    state = ref.new_state(cross)
    logits = ref.decode_step(1, state)
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from pinnet_tools.gen1 import SEP_ID, START_ID, STOP_ID, Gen1Config, Gen1Model, read_gen1
from .gen2_reference import l2_normalize
from .gen3_reference import rms_norm_offset, sigmoid, softmax

F32 = np.float32

FULL_WARNING = "[pinnet-core] KV cache full at {} steps \u2014 output will degrade"


def rope_tables(positions: int, head_dim: int, theta: float) -> tuple[np.ndarray, np.ndarray]:
    """cos, sin of shape (positions, head_dim // 2); f = theta^(2j / head_dim)
    in single precision (head_dim, not 2 * half, in the exponent)."""
    half = head_dim // 2
    expo = (np.arange(half, dtype=F32) * F32(2.0)) / F32(head_dim)
    f = np.power(F32(theta), expo).astype(F32)
    angle = np.arange(positions, dtype=F32)[:, None] / f[None, :]
    return np.cos(angle).astype(F32), np.sin(angle).astype(F32)


def rope_rotate(x: np.ndarray, cos: np.ndarray, sin: np.ndarray) -> np.ndarray:
    """Rotate-half over (P, heads, hd) with cos, sin (P, hd // 2); for an odd
    head_dim the last element of each head is not rotated."""
    half = x.shape[-1] // 2
    out = x.astype(F32, copy=True)
    x1, x2 = x[..., :half], x[..., half:2 * half]
    c, s = cos[:, None, :], sin[:, None, :]
    out[..., :half] = x1 * c - x2 * s
    out[..., half:2 * half] = x1 * s + x2 * c
    return out


def activation(code: int, g: np.ndarray, u: np.ndarray) -> np.ndarray:
    if code == 1:
        return (g * sigmoid(g) * u).astype(F32)
    if code == 2:
        inner = F32(0.7978846) * (g + F32(0.044715) * g * g * g)
        return (F32(0.5) * g * (F32(1) + np.tanh(inner)) * u).astype(F32)
    return (np.maximum(g, F32(0)) * np.maximum(u, F32(0))).astype(F32)


def total_order_key(values) -> np.ndarray:
    """Signed keys that sort float32 values in IEEE total order
    (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN)."""
    b = np.asarray(values, F32).view(np.int32).astype(np.int64)
    return np.where(b < 0, -(b & 0x7FFFFFFF) - 1, b)


def greedy_choice(logits) -> int:
    """Largest logit under the IEEE total order, the highest index among
    equals; 0 for an empty array."""
    k = total_order_key(logits)
    if k.size == 0:
        return 0
    return int(k.size - 1 - np.argmax(k[::-1]))


def encoder_input(query_ids, tools_ids, max_enc_len: int) -> list[int]:
    """Query ids, the separator, tools ids, cut so the total fits max_enc_len
    (the query keeps at most max_enc_len - 2); [] when both lists are empty
    or max_enc_len is 0."""
    q, t = [int(x) for x in query_ids], [int(x) for x in tools_ids]
    if (not q and not t) or max_enc_len == 0:
        return []
    q = q[:max(max_enc_len - 2, 0)]
    t = t[:max(max_enc_len - len(q) - 1, 0)]
    return q + [SEP_ID] + t


@dataclass
class Gen1State:
    """Per generation: each decoder block's self cache (capacity rows of
    (kv heads, hd) keys and values, `count` rows filled) and its cross keys
    and values (one row per encoder token). `warnings` collects the
    full-cache lines the runtime writes to standard error."""

    cfg: Gen1Config
    cross_k: list
    cross_v: list
    capacity: int
    count: list = field(default_factory=list)
    keys: list = field(default_factory=list)
    values: list = field(default_factory=list)
    warnings: list = field(default_factory=list)

    def __post_init__(self):
        c = self.cfg
        shape = (self.capacity, c.num_kv_heads, c.head_dim)
        self.keys = [np.zeros(shape, F32) for _ in range(c.num_decoder_layers)]
        self.values = [np.zeros(shape, F32) for _ in range(c.num_decoder_layers)]
        self.count = [0] * c.num_decoder_layers


class Gen1Reference:
    """The generation-1 encoder, decoder step, contrastive head and greedy loop."""

    def __init__(self, source):
        if isinstance(source, (bytes, bytearray, memoryview, str, os.PathLike)):
            source = read_gen1(source)
        model: Gen1Model = source
        c = self.cfg = model.cfg
        w = model.dequantised()
        self.model = model
        D, hd = c.d_model, c.head_dim

        def vec(name, n):
            v = w.get(name)
            return np.zeros(n, F32) if v is None else np.asarray(v, F32).reshape(-1)

        def gate(name):
            v = w.get(name)
            return F32(0) if v is None or v.size == 0 else F32(np.asarray(v).reshape(-1)[0])

        def lin(name):
            return model.linear(name)

        def attn(prefix):
            return {k: lin(f"{prefix}.{k}") for k in ("wq", "wk", "wv", "wo")} | {
                "q_norm": vec(f"{prefix}.q_norm", hd), "k_norm": vec(f"{prefix}.k_norm", hd)}

        def ffn(prefix):
            if c.no_feedforward:
                return None
            return {"gate_proj": lin(f"{prefix}.ffn.gate_proj"),
                    "up_proj": lin(f"{prefix}.ffn.up_proj"),
                    "down_proj": lin(f"{prefix}.ffn.down_proj"),
                    "norm": vec(f"{prefix}.ffn_norm", D), "gate": gate(f"{prefix}.ffn_gate")}

        self.emb = np.asarray(w["embedding"], F32).reshape(c.vocab_size, D)
        self.emb_scale = np.sqrt(F32(D))
        self.encoder = [{"attn": attn(f"encoder.{i}.self_attn"),
                         "norm": vec(f"encoder.{i}.norm", D),
                         "gate": gate(f"encoder.{i}.self_attn_gate"),
                         "ffn": ffn(f"encoder.{i}")} for i in range(c.num_encoder_layers)]
        self.decoder = [{"attn": attn(f"decoder.{i}.self_attn"),
                         "norm": vec(f"decoder.{i}.self_attn_norm", D),
                         "gate": gate(f"decoder.{i}.self_attn_gate"),
                         "cross": attn(f"decoder.{i}.cross_attn"),
                         "cross_norm": vec(f"decoder.{i}.cross_attn_norm", D),
                         "cross_gate": gate(f"decoder.{i}.cross_attn_gate"),
                         "ffn": ffn(f"decoder.{i}")} for i in range(c.num_decoder_layers)]
        self.enc_final = vec("encoder_final_norm", D)
        self.dec_final = vec("decoder_final_norm", D)
        # One row past the table's max(max_enc_len, max_dec_len): a frozen
        # decoder cache rotates at position max_dec_len.
        self.cos, self.sin = rope_tables(c.rope_rows + 1, hd, c.rope_theta)
        self.scale = F32(hd) ** F32(-0.5)
        self.kv_of_head = np.arange(c.num_heads) // c.group_size
        self.head = None
        names = ("contrastive_hidden_kernel", "contrastive_hidden_bias", "contrastive_proj_kernel")
        if all(n in w for n in names):
            k, b, p = (np.asarray(w[n], F32).reshape(-1) for n in names)
            H = b.size
            if H > 0 and k.size == H * D and p.size % H == 0:
                self.head = (k.reshape(D, H), b, p.reshape(H, p.size // H))

    # -- pieces ---------------------------------------------------------------
    def _heads(self, x, n_heads):
        return x.reshape(x.shape[0], n_heads, self.cfg.head_dim)

    def _attend(self, q, k, v):
        """q (H, hd), k and v (rows, kv heads, hd) -> (H * hd,), weights (H, rows)."""
        kh, vh = k[:, self.kv_of_head], v[:, self.kv_of_head]      # (rows, H, hd)
        scores = (np.einsum("hd,rhd->hr", q, kh) * self.scale).astype(F32)
        wts = softmax(scores)
        return np.einsum("hr,rhd->hd", wts, vh).astype(F32).reshape(-1), wts

    def _ffn(self, f, x):
        if f is None:
            return x
        a = rms_norm_offset(x, f["norm"])
        h = activation(self.cfg.activation_code, a @ f["gate_proj"], a @ f["up_proj"])
        return (x + sigmoid(f["gate"]) * (h @ f["down_proj"])).astype(F32)

    # -- encoder --------------------------------------------------------------
    def encode(self, ids) -> tuple[np.ndarray, list[tuple[np.ndarray, np.ndarray]]]:
        """(encoder output n x d_model after the final norm, per decoder block
        the cross keys (k_norm, no rotation) and values, each n x kv x hd)."""
        c = self.cfg
        ids = [int(i) for i in ids]
        n = len(ids)
        x = (self.emb[ids] * self.emb_scale).astype(F32).reshape(n, c.d_model)
        cos, sin = self.cos[:n], self.sin[:n]
        for b in self.encoder:
            at = b["attn"]
            a = rms_norm_offset(x, b["norm"])
            q = rms_norm_offset(self._heads(a @ at["wq"], c.num_heads), at["q_norm"])
            k = rms_norm_offset(self._heads(a @ at["wk"], c.num_kv_heads), at["k_norm"])
            v = self._heads((a @ at["wv"]).astype(F32), c.num_kv_heads)
            q, k = rope_rotate(q, cos, sin), rope_rotate(k, cos, sin)
            out = np.stack([self._attend(q[t], k, v)[0] for t in range(n)]) if n else \
                np.zeros((0, c.num_heads * c.head_dim), F32)
            x = (x + sigmoid(b["gate"]) * (out @ at["wo"])).astype(F32)
            x = self._ffn(b["ffn"], x)
        x = rms_norm_offset(x, self.enc_final)
        cross = []
        for b in self.decoder:
            cr = b["cross"]
            k = rms_norm_offset(self._heads(x @ cr["wk"], c.num_kv_heads), cr["k_norm"])
            v = self._heads((x @ cr["wv"]).astype(F32), c.num_kv_heads)
            cross.append((k, v))
        return x, cross

    # -- decoder --------------------------------------------------------------
    def new_state(self, cross, capacity: int | None = None) -> Gen1State:
        c = self.cfg
        return Gen1State(c, [k for k, _ in cross], [v for _, v in cross],
                         c.max_dec_len if capacity is None else capacity)

    def decode_step(self, token: int, state: Gen1State, trace: list | None = None) -> np.ndarray:
        """Raw logits of one decoder step. A full self cache is frozen: the new
        row is not stored, attention reads the rows there and the rotation
        position stays at the capacity (one warning per block). `trace`
        receives per block the self and cross attention weights (H, rows)."""
        c = self.cfg
        x = (self.emb[int(token)] * self.emb_scale).astype(F32)
        for i, b in enumerate(self.decoder):
            at = b["attn"]
            a = rms_norm_offset(x, b["norm"])
            q = rms_norm_offset((a @ at["wq"]).reshape(c.num_heads, -1), at["q_norm"])
            k = rms_norm_offset((a @ at["wk"]).reshape(c.num_kv_heads, -1), at["k_norm"])
            v = (a @ at["wv"]).astype(F32).reshape(c.num_kv_heads, -1)
            p = state.count[i]
            q = rope_rotate(q[None], self.cos[p:p + 1], self.sin[p:p + 1])[0]
            k = rope_rotate(k[None], self.cos[p:p + 1], self.sin[p:p + 1])[0]
            if p < state.capacity:
                state.keys[i][p], state.values[i][p] = k, v
                state.count[i] = p + 1
            else:
                state.warnings.append(FULL_WARNING.format(state.capacity))
            rows = state.count[i]
            out, self_w = self._attend(q, state.keys[i][:rows], state.values[i][:rows])
            x = (x + sigmoid(b["gate"]) * (out @ at["wo"])).astype(F32)

            cr = b["cross"]
            a = rms_norm_offset(x, b["cross_norm"])
            q = rms_norm_offset((a @ cr["wq"]).reshape(c.num_heads, -1), cr["q_norm"])
            out, cross_w = self._attend(q, state.cross_k[i], state.cross_v[i])
            x = (x + sigmoid(b["cross_gate"]) * (out @ cr["wo"])).astype(F32)
            x = self._ffn(b["ffn"], x)
            if trace is not None:
                trace.append({"self": self_w, "cross": cross_w, "position": p})
        h = rms_norm_offset(x, self.dec_final)
        return (self.emb @ h).astype(F32)

    # -- contrastive head -----------------------------------------------------
    @property
    def contrastive_dim(self) -> int:
        return 0 if self.head is None else self.head[2].shape[1]

    def contrastive(self, ids) -> np.ndarray | None:
        """Unit-length embedding of ids; zeros (not normalised) for no ids;
        None without a (well-shaped) head."""
        if self.head is None:
            return None
        kernel, bias, proj = self.head
        ids = list(ids)
        if not ids:
            return np.zeros(proj.shape[1], F32)
        enc, _ = self.encode(ids)
        m = (np.sum(enc, axis=0, dtype=F32) * (F32(1) / F32(len(ids)))).astype(F32)
        hidden = np.maximum(F32(0), bias + m @ kernel).astype(F32)
        return l2_normalize(hidden @ proj)

    # -- the runner's loop ----------------------------------------------------
    def greedy(self, query_ids, tools_ids,
               bias_fn: Callable[[list], np.ndarray | None] | None = None) -> list[int]:
        """Generated ids: encode (query, 5, tools, cut to max_enc_len), step
        the start id 1, then repeatedly add bias_fn(ids so far) (vocab_size
        floats, or None), choose by `greedy_choice`, stop on 1 (not kept) or
        after max_dec_len ids, else step the chosen id."""
        c = self.cfg
        enc_ids = encoder_input(query_ids, tools_ids, c.max_enc_len)
        if not enc_ids:
            return []
        if c.max_dec_len == 0:
            return []   # the runtime steps the start id first; nothing is kept either way
        _, cross = self.encode(enc_ids)
        state = self.new_state(cross)
        logits = self.decode_step(START_ID, state)
        ids: list[int] = []
        while True:
            bias = bias_fn(list(ids)) if bias_fn is not None else None
            scored = logits if bias is None else (logits + np.asarray(bias, F32)).astype(F32)
            tok = greedy_choice(scored)
            if tok == STOP_ID:
                return ids
            ids.append(tok)
            if len(ids) >= c.max_dec_len:
                return ids
            logits = self.decode_step(tok, state)
