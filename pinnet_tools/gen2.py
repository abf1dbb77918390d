"""Generation-2 model factory: geometry and the runtime's geometry checks, the
tensor canon, random well-scaled models, the `.tesk` (version 2) writer front
end and the named geometries used by tests and benchmarks.

    python -m pinnet_tools.gen2 --preset tiny-gen2 --out tiny2.tesk --heads both

Every tensor of a generation-2 container is listed once, by `canon`; the
writer here, and the tests' loader, reference and malformed files, all walk
that list. The tokenizer comes from the generation-3 factory (same
trained sentencepiece model, same blob format).
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import sys
from dataclasses import dataclass, field
from typing import Callable, Iterator, NamedTuple

import numpy as np

from .gen3 import BITS_CODES, bench_gen3_bits, tokenizer_blob_for
from .writer_common import bits_and_groups, is_pow2, per_tensor, short_label, write_atomic

F32 = np.float32

HEAD_CONTRASTIVE, HEAD_CONFIDENCE = 1, 2


def next_pow2(v: int) -> int:
    """Smallest power of two at or above v (v itself when it is one)."""
    return 1 << max(v - 1, 0).bit_length()


# ----------------------------------------------------------------------------
# Geometry


@dataclass
class Gen2Geometry:
    """Sizes of a generation-2 model: every field of the version-2 header."""

    vocab_size: int
    d_model: int
    num_heads: int
    num_kv_heads: int
    num_layers: int
    head_dim: int                  # even (RoPE rotates half-splits)
    max_seq_len: int
    hada_n: int                    # d_model rounded up to a power of two
    mhc_lanes: int
    kv_window: int = 0             # 0: unlimited
    table_rows: int = 0
    sub_dim: int = 0
    num_tables: int = 0            # per site, all orders together
    conv_taps: int = 0
    tap_spacing: int = 0
    orders: list = field(default_factory=list)        # at most 4
    engram_sites: list = field(default_factory=list)  # at most 4 block indices
    rope_theta: float = 10000.0

    def __post_init__(self):
        self.orders = [int(v) for v in self.orders]
        self.engram_sites = [int(v) for v in self.engram_sites]

    # derived values ---------------------------------------------------------
    @property
    def group_size(self) -> int:
        return self.num_heads // self.num_kv_heads

    @property
    def tables_per_order(self) -> int:
        return self.num_tables // len(self.orders)

    @property
    def ring(self) -> int:
        """Slots of an engram value ring."""
        return self.conv_taps * self.tap_spacing + 1 if self.engram_sites else 1

    @property
    def kv_capacity(self) -> int:
        """Ring slots of the engine's state: the window when it is set and fits."""
        if self.kv_window and self.kv_window <= self.max_seq_len:
            return self.kv_window
        return self.max_seq_len

    @property
    def canon_len(self) -> int:
        """C: tensors of the canon without heads or tokenizer."""
        return 11 + 14 * self.num_layers + 4 * len(self.engram_sites)

    def replace(self, **kw) -> "Gen2Geometry":
        return dataclasses.replace(self, **kw)

    def validate(self) -> None:
        """Rejects what the runtime's loader would reject on geometry alone."""
        if len(self.orders) > 4 or len(self.engram_sites) > 4:
            raise ValueError("gen2 geometry: at most 4 orders and 4 sites")
        msg = geometry_error(self) or (
            None if self.hada_n == next_pow2(self.d_model)
            else "hada_n is not d_model rounded up to a power of two")
        if msg:
            raise ValueError(f"gen2 geometry: {msg}")

    def header_fields(self) -> dict:
        """Named header fields as the container writer takes them."""
        return dict(vocab=self.vocab_size, d_model=self.d_model, num_heads=self.num_heads,
                    num_kv_heads=self.num_kv_heads, num_layers=self.num_layers,
                    head_dim=self.head_dim, max_seq_len=self.max_seq_len,
                    hada_n=self.hada_n, mhc_lanes=self.mhc_lanes, kv_window=self.kv_window,
                    table_rows=self.table_rows, sub_dim=self.sub_dim,
                    num_tables=self.num_tables, conv_taps=self.conv_taps,
                    tap_spacing=self.tap_spacing, orders=list(self.orders),
                    engram_sites=list(self.engram_sites), rope_theta=self.rope_theta)


def geometry_error(g: Gen2Geometry) -> str | None:
    """The model's geometry checks, in order: the first failing message."""
    if g.num_heads == 0 or g.num_kv_heads == 0:
        return "head counts must be non-zero"
    if g.num_heads % g.num_kv_heads:
        return "num_heads must be divisible by num_kv_heads"
    if g.head_dim == 0 or g.head_dim % 2:
        return "head_dim must be even (RoPE rotates half-splits)"
    if g.d_model == 0 or g.num_layers == 0 or g.mhc_lanes == 0:
        return "d_model, mhc_lanes and num_layers must be non-zero"
    if g.hada_n < g.d_model or not is_pow2(g.hada_n):
        return "hada_n must be a power of two at or above d_model"
    if g.vocab_size == 0 or g.max_seq_len == 0:
        return "vocab_size and max_seq_len must be non-zero"
    if g.engram_sites:
        if not g.orders or not (g.num_tables and g.sub_dim and g.table_rows):
            return "engram geometry incomplete"
        if g.num_tables % len(g.orders):
            return "num_tables must be divisible by the order count"
        if any(s >= g.num_layers for s in g.engram_sites):
            return "engram site beyond num_layers"
        if g.sub_dim * g.num_tables != g.d_model:
            return "engram fetched_dim must equal d_model"
    return None


@dataclass(frozen=True)
class HeadSpec:
    """One pooling head: code 1 contrastive (unit-length output) or 2
    confidence (output 0 is the logit); P probes of width d_model, O outputs."""

    code: int = HEAD_CONTRASTIVE
    probes: int = 2
    outputs: int = 16


def heads_for(choice: str, geom: Gen2Geometry) -> list[HeadSpec]:
    """The CLI's head choices: none, contrastive, confidence or both."""
    con = HeadSpec(HEAD_CONTRASTIVE, probes=2, outputs=min(64, geom.d_model))
    conf = HeadSpec(HEAD_CONFIDENCE, probes=2, outputs=1)
    return {"none": [], "contrastive": [con], "confidence": [conf], "both": [con, conf]}[choice]


# ----------------------------------------------------------------------------
# Canon


class CanonEntry(NamedTuple):
    slot: int      # directory index
    key: str       # unique: "blocks.3.q_proj", "engram.0.tables", "heads.1.proj"
    label: str     # what the loader prints: "q_proj", "engram tables", "head proj"
    shape: tuple   # directory dims; () for the tokenizer blob
    kind: str      # "cq" (dtype 3), "float" (dtype 1 or 2), "bytes" (dtype 4)


BLOCK_NAMES = ("norm_in", "q_proj", "k_proj", "v_proj", "q_norm", "k_norm", "gate_proj",
               "out_proj", "post_norm", "attn_gate", "pre_hada", "d1", "d2", "d3")
LANE_VECTORS = ("mhc_a_pre", "mhc_a_post", "mhc_a_res", "mhc_b_pre", "mhc_b_post", "mhc_b_res")
LANE_MATRICES = ("mhc_phi_pre", "mhc_phi_post", "mhc_phi_res")
ENGRAM_PARTS = ("tables", "key_proj", "value_proj", "taps")
HEAD_PARTS = ("probes", "proj", "bias")


def label_of(key: str) -> str:
    if key.startswith("heads."):
        return "head " + key.split(".")[-1]
    if key == "head_manifest":
        return "head manifest"
    return short_label(key)


def block_canon(g: Gen2Geometry) -> list[tuple[str, tuple, str]]:
    """(name, shape, kind) of one block's fourteen tensors, in order."""
    D, h, N = g.d_model, g.head_dim, g.hada_n
    qw, kw = g.num_heads * h, g.num_kv_heads * h
    return [("norm_in", (D,), "float"), ("q_proj", (qw, D), "cq"), ("k_proj", (kw, D), "cq"),
            ("v_proj", (kw, D), "cq"), ("q_norm", (h,), "float"), ("k_norm", (h,), "float"),
            ("gate_proj", (qw, D), "cq"), ("out_proj", (D, qw), "cq"),
            ("post_norm", (D,), "float"), ("attn_gate", (1,), "float"),
            ("pre_hada", (D,), "float"), ("d1", (N,), "float"), ("d2", (N,), "float"),
            ("d3", (N,), "float")]


def canon(geom: Gen2Geometry, heads=(), tokenizer: bool = False) -> Iterator[CanonEntry]:
    """THE list of a generation-2 container's tensors, in directory order:
    embedding, 14 per block, the nine lane globals, 4 per engram site,
    final_norm, then (with heads) the manifest and 3 per head, then (with
    `tokenizer`) the blob."""
    g = geom
    D, L, M = g.d_model, g.num_layers, g.mhc_lanes
    slot = 0

    def entry(key, shape, kind):
        nonlocal slot
        e = CanonEntry(slot, key, label_of(key), tuple(int(s) for s in shape), kind)
        slot += 1
        return e

    yield entry("embedding", (g.vocab_size, D), "cq")
    for layer in range(L):
        for name, shape, kind in block_canon(g):
            yield entry(f"blocks.{layer}.{name}", shape, kind)
    for name, shape in zip(LANE_VECTORS, ((L,), (L,), (L,), (L, M), (L, M), (L, M, M))):
        yield entry(name, shape, "float")
    for name, rows in zip(LANE_MATRICES, (L * M, L * M, L * M * M)):
        yield entry(name, (rows, M * D), "cq")
    for s in range(len(g.engram_sites)):
        fetched = g.num_tables * g.sub_dim
        yield entry(f"engram.{s}.tables", (g.table_rows * g.num_tables, g.sub_dim), "cq")
        yield entry(f"engram.{s}.key_proj", (D, fetched), "cq")
        yield entry(f"engram.{s}.value_proj", (D, fetched), "cq")
        yield entry(f"engram.{s}.taps", (g.conv_taps, D), "float")
    yield entry("final_norm", (D,), "float")
    if heads:
        yield entry("head_manifest", (len(heads),), "float")
        for i, spec in enumerate(heads):
            yield entry(f"heads.{i}.probes", (spec.probes, D), "float")
            yield entry(f"heads.{i}.proj", (spec.outputs, spec.probes * D), "float")
            yield entry(f"heads.{i}.bias", (spec.outputs,), "float")
    if tokenizer:
        yield entry("tokenizer", (), "bytes")


def group_family(key: str) -> str:
    """Matrices that share one rotated input must share a quantisation group:
    the attention input feeds q/k/v/gate, the normalised lanes feed the three
    phi matrices, the fetched n-gram vector feeds key and value."""
    parts = key.split(".")
    if parts[0] == "blocks" and parts[2] in ("q_proj", "k_proj", "v_proj", "gate_proj"):
        return f"blocks.{parts[1]}.qkvg"
    if key in LANE_MATRICES:
        return "mhc_phi"
    if parts[0] == "engram" and parts[2] in ("key_proj", "value_proj"):
        return f"engram.{parts[1]}.kv"
    return key


# ----------------------------------------------------------------------------
# Model


@dataclass
class Gen2Model:
    """Float weights of a generation-2 model keyed by canon key.

    tensors: key -> float32 array of the canon shape (cq tensors as dense
    (rows, cols) matrices). quant: key -> (bits code, group) of every cq
    tensor. f16: keys of float tensors stored as binary16. heads: the pooling
    heads (empty: none). tokenizer_blob: the embedded tokenizer, if any."""

    geom: Gen2Geometry
    tensors: dict
    quant: dict
    heads: list = field(default_factory=list)
    f16: set = field(default_factory=set)
    tokenizer_blob: bytes | None = None
    dequantised: "Gen2Model | None" = None  # set by write_gen2: what the runtime sees

    def entries(self, tokenizer: bool = False) -> list[CanonEntry]:
        return list(canon(self.geom, self.heads, tokenizer))

    def block(self, layer: int, name: str) -> np.ndarray:
        return self.tensors[f"blocks.{layer}.{name}"]


def random_model(geom: Gen2Geometry, seed: int = 0, bits=4, groups=64,
                 heads=(), validate: bool = True) -> Gen2Model:
    """Random weights scaled so activations stay O(1) over hundreds of steps
    and logits are spread: projections ~ N(0, 1/fan_in), embedding rows of
    unit RMS after the sqrt(d_model) scale, norm offsets ~ N(0, 0.1), the
    Hadamard diagonals ~ 1, attention gate logits ~ 0, lane gains ~ 0.5 with
    an identity-leaning residual-mixing bias, the first engram tap ~ 0.5.

    bits / groups: per cq tensor bits code (2, 3, 4, 5 = ternary) and group
    (power of two, multiple of 8, at most 1024); an int, "mixed", a dict keyed
    by key or short label ("*" default), or a callable(key). Matrices of one
    `group_family` take the group chosen for the first of them.
    validate=False writes geometries the loader refuses (defect files)."""
    g = geom
    if validate:
        g.validate()
    rng = np.random.default_rng(seed)
    heads = [heads] if isinstance(heads, HeadSpec) else list(heads or ())
    D, M = g.d_model, g.mhc_lanes

    def normal(shape, std, mean=0.0):
        return (mean + std * rng.standard_normal(shape)).astype(F32)

    t: dict[str, np.ndarray] = {}
    quant: dict[str, tuple[int, int]] = {}
    family_group: dict[str, int] = {}
    for e in canon(g, heads):
        name = e.label
        shape = e.shape
        if e.kind == "cq":
            cols = shape[1]
            if name == "engram tables":
                v = normal(shape, 1.0)
            elif name == "embedding":
                v = normal(shape, 1.0 / math.sqrt(max(D, 1)))
            else:
                v = normal(shape, 1.0 / math.sqrt(max(cols, 1)))
            b = per_tensor(bits, e.key, rng, BITS_CODES)
            fam = group_family(e.key)
            if fam not in family_group:
                family_group[fam] = per_tensor(groups, e.key, rng, (8, 16, 32, 64))
            grp = family_group[fam]
            if b not in BITS_CODES or not is_pow2(grp) or grp % 8 or grp > 1024:
                raise ValueError(f"{e.key}: bad bits {b} / group {grp}")
            quant[e.key] = (b, grp)
        elif name in ("norm_in", "post_norm", "pre_hada", "q_norm", "k_norm", "final_norm"):
            v = normal(shape, 0.1)
        elif name == "attn_gate":
            v = normal(shape, 0.5)
        elif name in ("d1", "d2", "d3"):
            # magnitudes ~ 1; signs on d2 keep the two transforms from
            # cancelling (with d2 = 1 the linear half of SiLU would hand back
            # half the input, and greedy decoding would repeat the last id)
            v = normal(shape, 0.1, 1.0)
            if name == "d2":
                v *= rng.choice([-1.0, 1.0], size=shape).astype(F32)
        elif name in ("mhc_a_pre", "mhc_a_post", "mhc_a_res"):
            v = normal(shape, 0.2, 0.5)
        elif name in ("mhc_b_pre", "mhc_b_post"):
            v = normal(shape, 0.5)
        elif name == "mhc_b_res":
            v = normal(shape, 0.5) + 2.0 * np.eye(M, dtype=F32)
        elif name == "engram taps":
            v = np.zeros(shape, F32)
            for j in range(shape[0]):
                v[j] = normal(D, 0.1, 0.5) if j == 0 else normal(D, 0.3 / j)
        elif name == "head manifest":
            v = np.array([s.code for s in heads], F32)
        elif name == "head probes":
            v = normal(shape, 1.0)
        elif name == "head proj":
            v = normal(shape, 1.0 / math.sqrt(max(shape[1], 1)))
        elif name == "head bias":
            v = normal(shape, 0.1)
        else:
            raise AssertionError(f"no initialiser for {e.key}")
        t[e.key] = np.ascontiguousarray(v, dtype=F32).reshape(shape)
    return Gen2Model(geom=g, tensors=t, quant=quant, heads=heads)


def every_other_float(model: Gen2Model) -> set:
    """Half of the float tensors (alternating in canon order), for exercising
    binary16 widening."""
    out, flip = set(), False
    for e in model.entries():
        if e.kind == "float":
            if flip:
                out.add(e.key)
            flip = not flip
    return out


# ----------------------------------------------------------------------------
# Named geometries


def tiny_gen2(vocab_size: int = 512) -> Gen2Geometry:
    """A small geometry touching every feature: d_model 48 (the Hadamard
    feed-forward pads to 64, groups pad the columns), GQA, 3 lanes, three
    blocks, two engram sites with orders 2 and 3 over a non-power-of-two row
    count and spaced taps, a 64-position context."""
    return Gen2Geometry(
        vocab_size=vocab_size, d_model=48, num_heads=4, num_kv_heads=2, num_layers=3,
        head_dim=8, max_seq_len=64, hada_n=64, mhc_lanes=3, kv_window=0, table_rows=61,
        sub_dim=12, num_tables=4, conv_taps=3, tap_spacing=2, orders=[2, 3],
        engram_sites=[0, 2], rope_theta=10000.0)


def tiny_gen2_window(vocab_size: int = 512) -> Gen2Geometry:
    """tiny_gen2 with an 8-position attention window (ring of 8 slots)."""
    return tiny_gen2(vocab_size).replace(kv_window=8)


def bench_gen2(vocab_size: int = 16384) -> Gen2Geometry:
    """The benchmark geometry, the generation-3 benchmark's widths: 12 blocks
    of width 512, 8/2 heads of 64, 4 lanes, window 512, engram orders 2 and 3
    with 8 tables of 64 at sites 1 and 6."""
    return Gen2Geometry(
        vocab_size=vocab_size, d_model=512, num_heads=8, num_kv_heads=2, num_layers=12,
        head_dim=64, max_seq_len=2048, hada_n=512, mhc_lanes=4, kv_window=512,
        table_rows=8192, sub_dim=64, num_tables=8, conv_taps=4, tap_spacing=1,
        orders=[2, 3], engram_sites=[1, 6], rope_theta=10000.0)


PRESETS: dict[str, tuple[Callable[[int], Gen2Geometry], int, object]] = {
    # name: (geometry factory, tokenizer vocabulary, bits spec)
    "tiny-gen2": (tiny_gen2, 512, "mixed"),
    "tiny-gen2-window": (tiny_gen2_window, 512, "mixed"),
    "bench-gen2": (bench_gen2, 16384, bench_gen3_bits),
}


def build_preset(name: str, seed: int = 0, heads=()) -> tuple[Gen2Model, bytes]:
    """(random model, tokenizer blob) of a named preset; the geometry's
    vocabulary is the tokenizer's piece count. `heads` is a list of HeadSpec
    or one of "none", "contrastive", "confidence", "both"."""
    factory, vocab, bits = PRESETS[name]
    blob = tokenizer_blob_for(vocab)
    geom = factory(int.from_bytes(blob[:4], "little"))
    if isinstance(heads, str):
        heads = heads_for(heads, geom)
    bits_spec, groups = bits_and_groups(bits)
    model = random_model(geom, seed=seed, bits=bits_spec, groups=groups, heads=heads)
    model.tokenizer_blob = blob
    return model, blob


# ----------------------------------------------------------------------------
# Writing


def container_tensors(model: Gen2Model, tokenizer_blob: bytes | None, f16=()):
    """(tesk.Tensor list in canon order, dequantised model): cq tensors through
    the codebook quantiser, float tensors as f32 or, for keys in model.f16 or
    `f16`, binary16 (rounded values in the dequantised model)."""
    from .tesk import canon_tensors

    as_f16 = set(model.f16) | set(f16)
    entries = canon(model.geom, model.heads, tokenizer=tokenizer_blob is not None)
    tensors, seen = canon_tensors([(e.key, e.kind, e.shape) for e in entries], model.tensors,
                                  model.quant, as_f16, tokenizer_blob)
    deq = Gen2Model(geom=model.geom, tensors=seen, quant=dict(model.quant),
                    heads=list(model.heads), f16=as_f16, tokenizer_blob=tokenizer_blob)
    return tensors, deq


def encode_gen2(model: Gen2Model, tokenizer_blob: bytes | None,
                f16=()) -> tuple[bytes, Gen2Model]:
    """The `.tesk` (version 2) bytes of a model and the dequantised model the
    runtime will see. tokenizer_blob None leaves the dtype-4 entry out."""
    from .tesk import write_tesk

    tensors, deq = container_tensors(model, tokenizer_blob, f16)
    return write_tesk(2, tensors, header=model.geom.header_fields()), deq


def write_gen2(path_or_none, model: Gen2Model, tokenizer_blob: bytes | None,
               f16=()) -> bytes:
    """Writes the container (to path_or_none unless None, atomically) and
    returns its bytes; afterwards model.dequantised holds the weights the
    runtime sees."""
    data, deq = encode_gen2(model, tokenizer_blob, f16)
    model.dequantised = deq
    if path_or_none is not None:
        write_atomic(path_or_none, data)
    return data


# ----------------------------------------------------------------------------
# Command line


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m pinnet_tools.gen2",
                                 description="Write a random generation-2 .tesk model.")
    ap.add_argument("--preset", choices=sorted(PRESETS), default="tiny-gen2")
    ap.add_argument("--out", required=True, help="output .tesk path")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--heads", choices=("none", "contrastive", "confidence", "both"),
                    default="none")
    ap.add_argument("--no-tokenizer", action="store_true",
                    help="leave the embedded tokenizer out")
    ap.add_argument("--f16", action="store_true", help="store every other float tensor as binary16")
    args = ap.parse_args(argv)
    model, blob = build_preset(args.preset, seed=args.seed, heads=args.heads)
    data = write_gen2(args.out, model, None if args.no_tokenizer else blob,
                      f16=every_other_float(model) if args.f16 else ())
    g = model.geom
    print(f"wrote {args.out}: {len(data)} bytes, {len(model.entries())} tensors, "
          f"{g.num_layers} blocks, d_model {g.d_model}, vocab {g.vocab_size}, "
          f"{len(model.heads)} heads", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
