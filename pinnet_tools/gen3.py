"""Generation-3 model factory: geometry, the tensor canon, random well-scaled
models, the `.tesk` (version 3) writer front end, a real subword tokenizer
and the named geometries used by tests and benchmarks.

    python -m pinnet_tools.gen3 --preset bench-gen3 --out bench.tesk

Every tensor of a generation-3 container is listed once, by `canon`; the
writer, the training forward pass, the tests and their NumPy reference all
walk that list.
"""

from __future__ import annotations

import argparse
import dataclasses
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterator, NamedTuple

import numpy as np

from .writer_common import (bits_and_groups, cache_dir, corpus_lines, is_pow2, per_tensor,
                            short_label, train_sentencepiece, write_atomic)

F32 = np.float32

# Bits codes of a codebook-quantised tensor; 5 is ternary (2-bit storage).
BITS_CODES = (2, 3, 4, 5)

# Fixed ids of generation 3: the decode loop stops on 1 and prompts start with 2.
UNK_ID, EOS_ID, BOS_ID = 0, 1, 2

CHAT_SYMBOLS = ("<|im_start|>", "<|im_end|>", "<tools>", "</tools>",
                "<tool_call>", "</tool_call>", "<think>", "</think>")


# ----------------------------------------------------------------------------
# Geometry


@dataclass
class Gen3Geometry:
    """Sizes of a generation-3 model: every field of the container header plus
    the mixture-entry count E (carried by the router's directory entry)."""

    vocab_size: int
    d_model: int
    num_heads: int
    num_kv_heads: int
    num_layers: int
    head_dim: int                  # query/key width per head (even)
    v_head_dim: int                # value width per head
    max_seq_len: int
    hada_n: int                    # feed-forward width, power of two >= d_model
    mhc_lanes: int
    logit_count: int = 0           # 0 means vocab_size
    kv_window: int = 0             # 0: no window
    global_layers: list = field(default_factory=list)  # written as the mask
    qkv_conv_taps: int = 0         # 0: no q/k/v convolution
    table_rows: int = 16
    sub_dim: int = 0               # 0: derived, d_model / num_tables
    num_tables: int = 1            # all orders together
    conv_taps: int = 1
    tap_spacing: int = 1
    hash_stride: int = 0           # 0 means heads_per_order
    orders: list = field(default_factory=lambda: [2])
    engram_sites: list = field(default_factory=list)
    rope_theta: float = 10000.0
    num_experts: int = 1           # E, mixture entries of the feed-forward

    def __post_init__(self):
        self.global_layers = [int(v) for v in self.global_layers]
        self.orders = [int(v) for v in self.orders]
        self.engram_sites = [int(v) for v in self.engram_sites]
        if self.sub_dim == 0 and self.orders and self.num_tables:
            self.sub_dim = self.d_model // self.num_tables

    # derived values ---------------------------------------------------------
    @property
    def heads_per_order(self) -> int:
        return self.num_tables // len(self.orders)

    @property
    def max_order(self) -> int:
        return max(self.orders) if self.orders else 1

    @property
    def effective_hash_stride(self) -> int:
        return self.hash_stride if self.hash_stride else self.heads_per_order

    @property
    def logit_width(self) -> int:
        return self.logit_count if self.logit_count else self.vocab_size

    @property
    def group_size(self) -> int:
        return self.num_heads // self.num_kv_heads

    @property
    def ff_factors(self) -> tuple[int, int]:
        """(r, c) of the two-factor transforms: r = 2^floor(k/2), c = hada_n / r."""
        k = self.hada_n.bit_length() - 1
        r = 1 << (k // 2)
        return r, self.hada_n // r

    @property
    def global_layer_mask(self) -> int:
        mask = 0
        for j in self.global_layers:
            if 0 <= j < 64:
                mask |= 1 << j
        return mask

    @property
    def block_slots(self) -> int:
        return 24 + (3 if self.qkv_conv_taps else 0)

    def cache_cap(self, layer: int) -> int:
        """Largest slot count of a layer's key/value ring."""
        if layer in self.global_layers:
            return self.max_seq_len
        if self.kv_window and self.kv_window <= self.max_seq_len:
            return self.kv_window
        return self.max_seq_len

    def replace(self, **kw) -> "Gen3Geometry":
        return dataclasses.replace(self, **kw)

    def validate(self) -> None:
        """Rejects geometries the runtime's binder refuses or that are outside
        the design (the reference would index out of range on them)."""
        def need(ok, what):
            if not ok:
                raise ValueError(f"gen3 geometry: {what}")
        for name in ("vocab_size", "d_model", "num_heads", "num_kv_heads", "num_layers",
                     "head_dim", "v_head_dim", "max_seq_len", "mhc_lanes", "num_experts"):
            need(getattr(self, name) > 0, f"{name} must be positive")
        need(self.num_heads % self.num_kv_heads == 0, "num_heads % num_kv_heads")
        need(self.head_dim % 2 == 0, "head_dim must be even")
        need(is_pow2(self.hada_n) and self.hada_n >= self.d_model, "hada_n")
        need(1 <= len(self.orders) <= 4, "1..4 engram orders")
        need(len(self.engram_sites) <= 16, "at most 16 engram sites")
        need(self.num_tables > 0 and self.num_tables % len(self.orders) == 0,
             "num_tables must be a positive multiple of the order count")
        need(self.sub_dim == self.d_model // self.num_tables, "sub_dim")
        need(self.sub_dim * self.num_tables == self.d_model,
             "num_tables * sub_dim must equal d_model")
        need(self.table_rows > 0, "table_rows")
        need(self.logit_count <= self.vocab_size, "logit_count above vocab_size")
        need(all(0 <= j < self.num_layers for j in self.global_layers), "global layer")
        need(self.tap_spacing > 0 or self.conv_taps <= 1, "tap_spacing")
        for v in (self.table_rows, self.sub_dim, self.num_tables, self.conv_taps,
                  self.tap_spacing, self.hash_stride, self.qkv_conv_taps, self.kv_window):
            need(0 <= v < 1 << 32, "header words are 32-bit")

    def header_fields(self) -> dict:
        """Named header fields as the container writer takes them."""
        return dict(vocab_size=self.vocab_size, logit_count=self.logit_count,
                    d_model=self.d_model, num_heads=self.num_heads,
                    num_kv_heads=self.num_kv_heads, num_layers=self.num_layers,
                    head_dim=self.head_dim, v_head_dim=self.v_head_dim,
                    max_seq_len=self.max_seq_len, hada_n=self.hada_n,
                    mhc_lanes=self.mhc_lanes, kv_window=self.kv_window,
                    global_layer_mask=self.global_layer_mask,
                    qkv_conv_taps=self.qkv_conv_taps, table_rows=self.table_rows,
                    sub_dim=self.sub_dim, num_tables=self.num_tables,
                    conv_taps=self.conv_taps, tap_spacing=self.tap_spacing,
                    hash_stride=self.hash_stride, orders=list(self.orders),
                    engram_sites=list(self.engram_sites), rope_theta=self.rope_theta)


@dataclass(frozen=True)
class HeadSpec:
    """One confidence head of the trailing head region. code 3 carries a 7th,
    skipped slot. probes = P per cell, second = Q second-stage probes,
    outputs = O rows of the output projection (only output 0 is used)."""

    code: int = 1
    probes: int = 2
    second: int = 2
    outputs: int = 1

    @property
    def slots(self) -> int:
        return 7 if self.code == 3 else 6


# ----------------------------------------------------------------------------
# Canon


class CanonEntry(NamedTuple):
    slot: int      # directory index
    label: str     # unique key, e.g. "blocks.3.q_proj", "engram.0.tables"
    shape: tuple   # directory dims; () unknown for the tokenizer blob
    kind: str      # "cq" (dtype 3), "f32" (float vector, dtype 1 or 2), "bytes" (dtype 4)


BLOCK_FLOATS = ("post_norm", "attn_gate", "pre_hada", "ff_in_scale", "ff_gate_scale",
                "ff_gate_bias", "ff_mid_scale", "ff_out_scale", "ff_a1", "ff_b1", "ff_a2",
                "ff_b2", "ff_a3", "ff_b3", "ff_router", "ff_expert_scales")
LANE_VECTORS = ("mhc_a_pre", "mhc_a_post", "mhc_a_res", "mhc_b_pre", "mhc_b_post", "mhc_b_res")
LANE_MATRICES = ("mhc_phi_pre", "mhc_phi_post", "mhc_phi_res")
HEAD_PARTS = ("cell_probes", "cell_scales", "head_probes", "pool_bias", "head_proj",
              "head_bias", "skipped")


def block_canon(g: Gen3Geometry) -> list[tuple[str, tuple, str]]:
    """(name, shape, kind) of one block's slots, in slot order."""
    d, N, E = g.d_model, g.hada_n, g.num_experts
    r, c = g.ff_factors
    qw, kw, vw = g.num_heads * g.head_dim, g.num_kv_heads * g.head_dim, g.num_kv_heads * g.v_head_dim
    ow = g.num_heads * g.v_head_dim
    out = [("norm_in", (d,), "f32"), ("q_proj", (qw, d), "cq"), ("k_proj", (kw, d), "cq"),
           ("v_proj", (vw, d), "cq")]
    if g.qkv_conv_taps:
        T = g.qkv_conv_taps
        out += [("q_taps", (T * qw,), "f32"), ("k_taps", (T * kw,), "f32"),
                ("v_taps", (T * vw,), "f32")]
    out += [("q_norm", (g.head_dim,), "f32"), ("k_norm", (g.head_dim,), "f32"),
            ("gate_proj", (ow, d), "cq"), ("out_proj", (d, ow), "cq")]
    shapes = {"post_norm": (d,), "attn_gate": (1,), "pre_hada": (d,), "ff_in_scale": (N,),
              "ff_gate_scale": (N,), "ff_gate_bias": (N,), "ff_mid_scale": (N,),
              "ff_out_scale": (d,), "ff_a1": (r * r,), "ff_b1": (c * c,), "ff_a2": (r * r,),
              "ff_b2": (c * c,), "ff_a3": (r * r,), "ff_b3": (c * c,), "ff_router": (d, E),
              "ff_expert_scales": (E * N,)}
    out += [(name, shapes[name], "f32") for name in BLOCK_FLOATS]
    assert len(out) == g.block_slots
    return out


def head_canon(g: Gen3Geometry, spec: HeadSpec, cells: int) -> list[tuple[str, tuple, str]]:
    d, P, Q, O = g.d_model, spec.probes, spec.second, spec.outputs
    out = [("cell_probes", (cells * P, d), "cq"), ("cell_scales", (cells * P,), "f32"),
           ("head_probes", (Q, d), "cq"), ("pool_bias", (Q * cells * P,), "f32"),
           ("head_proj", (O, Q * d), "cq"), ("head_bias", (O,), "f32")]
    if spec.code == 3:
        out.append(("skipped", (1,), "f32"))
    return out


def canon(geom: Gen3Geometry, heads: list[HeadSpec] | tuple = (),
          tokenizer: bool = True) -> Iterator[CanonEntry]:
    """THE list of a generation-3 container's tensors, in directory order:
    embedding, the blocks, the lane globals, the permutations, one engram set
    per site, final_norm, the optional confidence-head region (manifest, then
    6 or 7 slots per head) and the tokenizer blob."""
    g = geom
    n, d, L, N = g.mhc_lanes, g.d_model, g.num_layers, g.hada_n
    slot = 0

    def entry(label, shape, kind):
        nonlocal slot
        e = CanonEntry(slot, label, tuple(shape), kind)
        slot += 1
        return e

    yield entry("embedding", (g.vocab_size, d), "cq")
    for layer in range(L):
        for name, shape, kind in block_canon(g):
            yield entry(f"blocks.{layer}.{name}", shape, kind)
    for name, per in zip(LANE_VECTORS, (1, 1, 1, n, n, n * n)):
        yield entry(name, (L * per,), "f32")
    for name, per in zip(LANE_MATRICES, (n, n, n * n)):
        yield entry(name, (L * per, n * d), "cq")
    yield entry("perm_a", (N,), "f32")
    yield entry("perm_b", (N,), "f32")
    for s in range(len(g.engram_sites)):
        yield entry(f"engram.{s}.tables", (g.num_tables * g.table_rows, g.sub_dim), "cq")
        yield entry(f"engram.{s}.key_proj", (d, d), "cq")
        yield entry(f"engram.{s}.value_proj", (d, d), "cq")
        yield entry(f"engram.{s}.taps", (g.conv_taps * d,), "f32")
    yield entry("final_norm", (d,), "f32")
    if heads:
        yield entry("head_manifest", (len(heads),), "f32")
        for h, spec in enumerate(heads):
            for name, shape, kind in head_canon(g, spec, L + 1):
                yield entry(f"heads.{h}.{name}", shape, kind)
    if tokenizer:
        yield entry("tokenizer", (), "bytes")


def canon_final_slot(geom: Gen3Geometry) -> int:
    """Slot o of final_norm; the canon needs at least o + 1 entries."""
    return 1 + geom.block_slots * geom.num_layers + 11 + 4 * len(geom.engram_sites)


# ----------------------------------------------------------------------------
# Model


@dataclass
class Gen3Model:
    """Float weights of a generation-3 model keyed by canon label.

    tensors: label -> float32 array of the canon shape (cq tensors as dense
    (rows, cols) matrices). quant: label -> (bits code, group) of every cq
    tensor. f16: labels of float vectors stored as binary16. heads: the specs
    of the trailing head region (empty: no confidence head)."""

    geom: Gen3Geometry
    tensors: dict
    quant: dict
    heads: list = field(default_factory=list)
    f16: set = field(default_factory=set)
    dequantised: "Gen3Model | None" = None  # set by write_gen3: what the runtime sees

    def entries(self, tokenizer: bool = True) -> list[CanonEntry]:
        return list(canon(self.geom, self.heads, tokenizer))

    def block(self, layer: int, name: str) -> np.ndarray:
        return self.tensors[f"blocks.{layer}.{name}"]


def hadamard_matrix(n: int, normalised: bool = True) -> np.ndarray:
    """Sylvester (natural order) Hadamard matrix of size n (a power of two)."""
    h = np.ones((1, 1), dtype=np.float64)
    while h.shape[0] < n:
        h = np.block([[h, h], [h, -h]])
    if normalised:
        h = h / np.sqrt(n)
    return h.astype(F32)


def _orthogonal(rng: np.random.Generator, n: int) -> np.ndarray:
    q, r = np.linalg.qr(rng.standard_normal((n, n)))
    return (q * np.sign(np.diag(r))).astype(F32)


def random_model(geom: Gen3Geometry, seed: int = 0, bits=4, groups=64,
                 head: HeadSpec | list | None = None) -> Gen3Model:
    """Random weights scaled so activations stay O(1) through many blocks:
    projections ~ N(0, 1/d_in), norm offsets small, feed-forward factors
    orthonormal (half of them signed Hadamard), routers small, lane logits
    O(1) with an identity-leaning residual matrix, random permutations.

    bits / groups: per cq tensor bits code (2, 3, 4, 5 = ternary) and group
    (power of two, multiple of 8, at most 1024); an int, "mixed", a dict keyed
    by label or short label ("*" default), or a callable(label)."""
    g = geom
    g.validate()
    rng = np.random.default_rng(seed)
    heads = [] if head is None else ([head] if isinstance(head, HeadSpec) else list(head))
    d, n, N, E = g.d_model, g.mhc_lanes, g.hada_n, g.num_experts
    r, c = g.ff_factors

    def normal(shape, std, mean=0.0):
        return (mean + std * rng.standard_normal(shape)).astype(F32)

    def factor(size, layer, which):
        if (layer + which) % 2 == 0:
            signs = rng.choice([-1.0, 1.0], size=size).astype(F32)
            return (hadamard_matrix(size) * signs[:, None]).reshape(-1)
        return _orthogonal(rng, size).reshape(-1)

    def taps(count, width, first=1.0):
        t = np.zeros((count, width), F32)
        for j in range(count):
            t[j] = normal(width, 0.1, first) if j == 0 else normal(width, 0.3 / j)
        return t.reshape(-1)

    t: dict[str, np.ndarray] = {}
    quant: dict[str, tuple[int, int]] = {}
    for e in canon(g, heads, tokenizer=False):
        name = short_label(e.label)
        layer = int(e.label.split(".")[1]) if e.label.startswith("blocks.") else 0
        shape = e.shape
        if e.kind == "cq":
            rows, cols = shape
            if name == "embedding":
                v = normal(shape, 1.0 / np.sqrt(d))
            elif name.startswith("mhc_phi"):
                v = normal(shape, 1.0 / np.sqrt(cols))
            elif name == "engram tables":
                v = normal(shape, 1.0)
            elif name in ("cell_probes", "head_probes"):
                v = normal(shape, 1.0)
            else:  # projections
                v = normal(shape, 1.0 / np.sqrt(cols))
            b = per_tensor(bits, e.label, rng, BITS_CODES)
            grp = per_tensor(groups, e.label, rng, (8, 16, 32, 64))
            if b not in BITS_CODES or not is_pow2(grp) or grp % 8 or grp > 1024:
                raise ValueError(f"{e.label}: bad bits {b} / group {grp}")
            quant[e.label] = (b, grp)
        elif name in ("norm_in", "post_norm", "pre_hada", "q_norm", "k_norm", "final_norm"):
            v = normal(shape, 0.1)
        elif name == "q_taps":
            v = taps(g.qkv_conv_taps, g.num_heads * g.head_dim)
        elif name == "k_taps":
            v = taps(g.qkv_conv_taps, g.num_kv_heads * g.head_dim)
        elif name == "v_taps":
            v = taps(g.qkv_conv_taps, g.num_kv_heads * g.v_head_dim)
        elif name == "attn_gate":
            v = normal(shape, 1.0)
        elif name in ("ff_in_scale", "ff_gate_scale", "ff_mid_scale"):
            v = normal(shape, 0.1, 1.0)
        elif name == "ff_gate_bias":
            v = normal(shape, 0.1)
        elif name == "ff_out_scale":
            v = normal(shape, 0.1, 0.5)
        elif name in ("ff_a1", "ff_a2", "ff_a3"):
            v = factor(r, layer, int(name[-1]))
        elif name in ("ff_b1", "ff_b2", "ff_b3"):
            v = factor(c, layer, int(name[-1]) + 1)
        elif name == "ff_router":
            v = normal(shape, 1.0 / np.sqrt(d))
        elif name == "ff_expert_scales":
            v = normal(shape, 0.2)
        elif name in ("mhc_a_pre", "mhc_a_post", "mhc_a_res"):
            v = normal(shape, 0.2, 0.5)
        elif name in ("mhc_b_pre", "mhc_b_post"):
            v = normal(shape, 0.5)
        elif name == "mhc_b_res":
            # identity-leaning lane-to-lane logits keep Sinkhorn well conditioned
            v = (normal((g.num_layers, n, n), 0.5) + 2.0 * np.eye(n, dtype=F32)).reshape(-1)
        elif name in ("perm_a", "perm_b"):
            v = rng.permutation(N).astype(F32)
        elif name == "engram taps":
            v = taps(g.conv_taps, d, first=0.5)
        elif name == "head_manifest":
            v = np.array([s.code for s in heads], F32)
        elif name == "cell_scales":
            v = normal(shape, 0.1, 1.0)
        elif name in ("pool_bias", "head_bias"):
            v = normal(shape, 0.5 if name == "pool_bias" else 0.1)
        elif name == "skipped":
            v = normal(shape, 1.0)
        else:
            raise AssertionError(f"no initialiser for {e.label}")
        t[e.label] = np.ascontiguousarray(v, dtype=F32).reshape(shape)
    return Gen3Model(geom=g, tensors=t, quant=quant, heads=heads)


# ----------------------------------------------------------------------------
# Conventions every reader of a model follows: the depth ladder (which blocks
# a shallower run keeps), the rotary tables, the permutation indices and the
# lane-mixing projection's round count. The training forward pass and
# `pinnet inspect` use them as they are.

SINKHORN_ROUNDS = 20


def ladder_order(n: int) -> list[int]:
    """Bisection order of the block indices of an n-block container."""
    order = [0, n - 1] if n > 1 else [0]
    while len(order) < n:
        chosen = sorted(order)
        best = None
        for lo, hi in zip(chosen, chosen[1:]):
            if hi - lo >= 2 and (best is None or hi - lo > best[1] - best[0]):
                best = (lo, hi)
        if best is None:
            break
        order.append((best[0] + best[1]) // 2)
    return order


def rung(n: int, k: int) -> list[int]:
    """Ascending block indices of the k-block rung of an n-block ladder."""
    if k < 2 or k > n:
        raise ValueError("depth is outside the ladder")
    return sorted(ladder_order(n)[:k])


def rope_tables(positions: int, head_dim: int, theta: float) -> tuple[np.ndarray, np.ndarray]:
    """cos, sin of shape (positions, head_dim / 2): f = theta^((2j) / head_dim)
    in single precision, angle = p / f."""
    half = head_dim // 2
    expo = (np.arange(half, dtype=F32) * F32(2.0)) / F32(head_dim)
    f = np.power(F32(theta), expo).astype(F32)
    angle = np.arange(positions, dtype=F32)[:, None] / f[None, :]
    return np.cos(angle).astype(F32), np.sin(angle).astype(F32)


def perm_indices(values: np.ndarray) -> np.ndarray:
    """Float permutation entries to unsigned 32-bit indices: truncation toward
    zero; negative and NaN give 0; values above 4294967040 give 4294967295."""
    v = np.asarray(values, np.float64)
    out = np.zeros(v.shape, np.uint64)
    ok = np.isfinite(v) & (v > 0)
    out[ok] = np.trunc(np.minimum(v[ok], 4294967295.0)).astype(np.uint64)
    out[v > 4294967040.0] = 4294967295
    return out.astype(np.int64)


# ----------------------------------------------------------------------------
# Named geometries


def bench_gen3(vocab_size: int = 16384) -> Gen3Geometry:
    """The benchmark geometry: 12 blocks of width 512, 8/2 heads of 64, a
    16384-piece subword vocabulary, 4 lanes, window 512 with global blocks
    3, 7, 11, engram orders 2 and 3 with 4 tables each at sites 1 and 6."""
    return Gen3Geometry(
        vocab_size=vocab_size, d_model=512, num_heads=8, num_kv_heads=2, num_layers=12,
        head_dim=64, v_head_dim=64, max_seq_len=2048, hada_n=512, mhc_lanes=4,
        kv_window=512, global_layers=[3, 7, 11], qkv_conv_taps=4, table_rows=8192,
        num_tables=8, sub_dim=64, conv_taps=4, tap_spacing=1, hash_stride=0,
        orders=[2, 3], engram_sites=[1, 6], rope_theta=10000.0, num_experts=4)


def bench_gen3_bits(label: str) -> tuple[int, int]:
    """(bits, group) of the benchmark model: 4-bit codes, group 64, for the
    embedding and every projection; 2-bit codes for the engram tables."""
    return (2, 64) if short_label(label) == "engram tables" else (4, 64)


def tiny_gen3(vocab_size: int = 512) -> Gen3Geometry:
    """A small geometry touching every feature: windowed and global blocks,
    q/k/v convolution, two engram orders with a non-power-of-two row count,
    spaced engram taps, non-square feed-forward factors, GQA and 2 lanes."""
    return Gen3Geometry(
        vocab_size=vocab_size, d_model=32, num_heads=4, num_kv_heads=2, num_layers=4,
        head_dim=8, v_head_dim=6, max_seq_len=64, hada_n=128, mhc_lanes=2, kv_window=4,
        global_layers=[1], qkv_conv_taps=3, table_rows=61, num_tables=4, conv_taps=3,
        tap_spacing=2, hash_stride=0, orders=[2, 3], engram_sites=[0, 2],
        rope_theta=10000.0, num_experts=3)


def small_gen3(vocab_size: int = 512) -> Gen3Geometry:
    """Twelve narrow blocks: for ladder tests and quick end-to-end runs."""
    return Gen3Geometry(
        vocab_size=vocab_size, d_model=64, num_heads=4, num_kv_heads=1, num_layers=12,
        head_dim=16, v_head_dim=16, max_seq_len=256, hada_n=64, mhc_lanes=4, kv_window=16,
        global_layers=[3, 7, 11], qkv_conv_taps=4, table_rows=257, num_tables=4,
        conv_taps=4, tap_spacing=1, hash_stride=3, orders=[2, 3], engram_sites=[1, 6],
        rope_theta=10000.0, num_experts=4)


PRESETS: dict[str, tuple[Callable[[int], Gen3Geometry], int, object]] = {
    # name: (geometry factory, tokenizer vocabulary, bits spec)
    "bench-gen3": (bench_gen3, 16384, bench_gen3_bits),
    "tiny-gen3": (tiny_gen3, 512, "mixed"),
    "small-gen3": (small_gen3, 512, 4),
}


# ----------------------------------------------------------------------------
# Writing


def encode_gen3(model: Gen3Model, tokenizer_blob: bytes | None,
                f16=()) -> tuple[bytes, Gen3Model]:
    """The `.tesk` (version 3) bytes of a model and the dequantised model the
    runtime will see: cq tensors through the codebook quantiser, float vectors
    as f32 or, for labels in model.f16 or `f16`, binary16 (rounded values in
    the dequantised model). tokenizer_blob None leaves the dtype-4 entry out
    (for tests of that failure)."""
    from .tesk import canon_tensors, write_tesk

    as_f16 = set(model.f16) | set(f16)
    entries = canon(model.geom, model.heads, tokenizer=tokenizer_blob is not None)
    tensors, seen = canon_tensors([(e.label, e.kind, e.shape) for e in entries], model.tensors,
                                  model.quant, as_f16, tokenizer_blob)
    data = write_tesk(3, tensors, header=model.geom.header_fields())
    deq = Gen3Model(geom=model.geom, tensors=seen, quant=dict(model.quant),
                    heads=list(model.heads), f16=as_f16)
    return data, deq


def write_gen3(path_or_none, model: Gen3Model, tokenizer_blob: bytes | None,
               f16=()) -> bytes:
    """Writes the container (to path_or_none unless None) and returns its
    bytes; afterwards model.dequantised holds the weights the runtime sees."""
    data, deq = encode_gen3(model, tokenizer_blob, f16)
    model.dequantised = deq
    if path_or_none is not None:
        write_atomic(path_or_none, data)
    return data


def every_other_float(model: Gen3Model) -> set:
    """Half of the float vectors (alternating in canon order), for exercising
    binary16 widening; the permutations stay f32 unless hada_n <= 2048."""
    out, flip = set(), False
    for e in canon(model.geom, model.heads, tokenizer=False):
        if e.kind != "f32":
            continue
        if e.label in ("perm_a", "perm_b") and model.geom.hada_n > 2048:
            continue
        if flip:
            out.add(e.label)
        flip = not flip
    return out


# ----------------------------------------------------------------------------
# Tokenizer


def train_tokenizer(vocab_size: int, seed: int = 0) -> Path:
    """A sentencepiece BPE model (byte fallback, identity normalisation, the
    chat markers as user-defined pieces, unk 0 / eos 1 / bos 2), trained on
    the synthetic corpus and cached on disk. Returns the .model path."""
    out = cache_dir() / f"gen3_bpe_{vocab_size}_s{seed}.model"
    if out.exists():
        return out
    lines = max(20000, vocab_size * 5)
    return train_sentencepiece(
        out, vocab_size, corpus_lines(lines, seed), byte_fallback=True,
        character_coverage=1.0, user_defined_symbols=list(CHAT_SYMBOLS),
        normalization_rule_name="identity", remove_extra_whitespaces=False,
        unk_id=UNK_ID, eos_id=EOS_ID, bos_id=BOS_ID, pad_id=-1)


def tokenizer_blob_for(vocab_size: int, seed: int = 0) -> bytes:
    """The embedded-tokenizer blob of the cached sentencepiece model."""
    from .tokenizer_blob import from_sentencepiece

    return from_sentencepiece(str(train_tokenizer(vocab_size, seed)))


def sentencepiece_processor(vocab_size: int, seed: int = 0):
    """The same cached model loaded in sentencepiece (for prompt ids in tests)."""
    import sentencepiece as spm

    return spm.SentencePieceProcessor(model_file=str(train_tokenizer(vocab_size, seed)))


# ----------------------------------------------------------------------------
# Presets and command line


def build_preset(name: str, seed: int = 0, head: HeadSpec | list | None = None,
                 ) -> tuple[Gen3Model, bytes]:
    """(random model, tokenizer blob) of a named preset; the geometry's
    vocabulary is the tokenizer's piece count."""
    factory, vocab, bits = PRESETS[name]
    blob = tokenizer_blob_for(vocab)
    pieces = int.from_bytes(blob[:4], "little")
    geom = factory(pieces)
    bits_spec, group_spec = bits_and_groups(bits)
    model = random_model(geom, seed=seed, bits=bits_spec, groups=group_spec, head=head)
    return model, blob


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m pinnet_tools.gen3",
                                 description="Write a random generation-3 .tesk model.")
    ap.add_argument("--preset", choices=sorted(PRESETS), default="tiny-gen3")
    ap.add_argument("--out", required=True, help="output .tesk path")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--head", type=int, default=None, metavar="CODE",
                    help="add a confidence head with this code (3 adds the skipped slot)")
    ap.add_argument("--f16", action="store_true", help="store every other float vector as binary16")
    args = ap.parse_args(argv)
    head = HeadSpec(code=args.head) if args.head is not None else None
    model, blob = build_preset(args.preset, seed=args.seed, head=head)
    data = write_gen3(args.out, model, blob,
                      f16=every_other_float(model) if args.f16 else ())
    g = model.geom
    print(f"wrote {args.out}: {len(data)} bytes, {len(model.entries())} tensors, "
          f"{g.num_layers} blocks, d_model {g.d_model}, vocab {g.vocab_size}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
