"""Generation-1 model factory: the configuration and its metadata, the tensor
list, random well-scaled models, the 4-bit quantiser of the runtime, the
safetensors writer (the real `safetensors` library) and a reader of what it
wrote, the vocabulary text of a trained sentencepiece model and the named
presets.

    python -m pinnet_tools.gen1 --preset tiny-gen1 --out tiny1.safetensors \\
        --vocab-out tiny1.vocab

Vocabulary ids (fixed by the engine): 0 "<pad>", 1 "</s>" (the decoder's
start and stop id), 2 "<s>", 3 "<unk>", 4 "<call>" (the prefix piece the
engine strips from the front of decoded text), 5 "<sep>" (separates the
query ids from the tools ids in the encoder input); then the 256 byte pieces
"<0x00>".."<0xFF>" and the learned pieces.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Iterator, NamedTuple

import numpy as np

from .gen3 import CHAT_SYMBOLS
from .writer_common import cache_dir, corpus_lines, train_sentencepiece

F32 = np.float32

PAD_ID, EOS_ID, BOS_ID, UNK_ID, PREFIX_ID, SEP_ID = 0, 1, 2, 3, 4, 5
START_ID = STOP_ID = EOS_ID
USER_SYMBOLS = ("<call>", "<sep>")   # ids 4 and 5
WORD_MARK = "\u2581"

ACTIVATION_CODES = {"swiglu": 1, "geglu": 2}


# ----------------------------------------------------------------------------
# Configuration


@dataclass
class Gen1Config:
    """The metadata-borne configuration; defaults are the runtime's defaults
    for an absent key (no_feedforward included: a file must say "false" to
    get feed-forward sublayers)."""

    d_model: int = 512
    num_heads: int = 8
    num_kv_heads: int = 4
    num_encoder_layers: int = 12
    num_decoder_layers: int = 8
    vocab_size: int = 8192
    max_enc_len: int = 1024
    max_dec_len: int = 512
    ffn_dim: int = 2048
    rope_theta: float = 10000.0
    activation: str = ""          # "swiglu" (code 1), "geglu" (2), anything else (0)
    no_feedforward: bool = True

    @property
    def head_dim(self) -> int:
        return self.d_model // self.num_heads

    @property
    def group_size(self) -> int:
        return self.num_heads // self.num_kv_heads

    @property
    def activation_code(self) -> int:
        return ACTIVATION_CODES.get(self.activation, 0)

    @property
    def rope_rows(self) -> int:
        return max(self.max_enc_len, self.max_dec_len)

    def replace(self, **kw) -> "Gen1Config":
        return dataclasses.replace(self, **kw)

    def metadata(self) -> dict[str, str]:
        """Every key as text, as the safetensors header carries it."""
        return {"d_model": str(self.d_model), "num_heads": str(self.num_heads),
                "num_kv_heads": str(self.num_kv_heads),
                "num_encoder_layers": str(self.num_encoder_layers),
                "num_decoder_layers": str(self.num_decoder_layers),
                "vocab_size": str(self.vocab_size), "max_enc_len": str(self.max_enc_len),
                "max_dec_len": str(self.max_dec_len), "ffn_dim": str(self.ffn_dim),
                "rope_theta": repr(float(self.rope_theta)), "activation": self.activation,
                "no_feedforward": "true" if self.no_feedforward else "false"}

    def validation_error(self) -> str | None:
        """The runtime's configuration checks, in its order."""
        if self.num_heads == 0:
            return "num_heads must be > 0"
        if self.num_kv_heads == 0:
            return "num_kv_heads must be > 0"
        if self.d_model == 0:
            return "d_model must be > 0"
        if self.d_model % self.num_heads:
            return "d_model must be divisible by num_heads"
        if self.num_heads % self.num_kv_heads:
            return "num_heads must be divisible by num_kv_heads"
        if self.vocab_size == 0:
            return "vocab_size must be > 0"
        return None


def _read_uint(text: str | None) -> int | None:
    """Optional "+", then decimal digits fitting 64 bits; else absent."""
    if text is None:
        return None
    body = text[1:] if text.startswith("+") else text
    if not body or not all("0" <= c <= "9" for c in body):
        return None
    v = int(body)
    return v if v < 1 << 64 else None


def parse_gen1_config(metadata: dict[str, str]) -> Gen1Config:
    """The configuration the runtime reads from a metadata map (unusable values
    silently take the defaults; validation is `validation_error`)."""
    d = Gen1Config()
    kw = {}
    for name in ("d_model", "num_heads", "num_kv_heads", "num_encoder_layers",
                 "num_decoder_layers", "vocab_size", "max_dec_len", "ffn_dim"):
        v = _read_uint(metadata.get(name))
        kw[name] = getattr(d, name) if v is None else v
    enc = _read_uint(metadata.get("max_enc_len"))
    if enc is None:
        enc = _read_uint(metadata.get("max_seq_len"))
    kw["max_enc_len"] = d.max_enc_len if enc is None else enc
    theta = metadata.get("rope_theta", "")
    try:
        # Python's float() also takes digit underscores and surrounding
        # spaces, which a plain decimal reader refuses
        if "_" in theta or theta != theta.strip():
            raise ValueError(theta)
        kw["rope_theta"] = float(F32(float(theta)))
    except ValueError:
        kw["rope_theta"] = d.rope_theta
    kw["activation"] = metadata.get("activation", "")
    nf = metadata.get("no_feedforward")
    kw["no_feedforward"] = nf is None or nf in ("1", "True", "true")
    return Gen1Config(**kw)


# ----------------------------------------------------------------------------
# Tensor list


class TensorSpec(NamedTuple):
    name: str
    shape: tuple   # linear layers: (in_features, out_features)
    kind: str      # "linear" (4-bit at load), "norm", "gate", "embedding", "contrastive"


def _attn_specs(prefix: str, cfg: Gen1Config) -> list[TensorSpec]:
    d, hd = cfg.d_model, cfg.head_dim
    qw, kw = cfg.num_heads * hd, cfg.num_kv_heads * hd
    return [TensorSpec(f"{prefix}.wq", (d, qw), "linear"),
            TensorSpec(f"{prefix}.wk", (d, kw), "linear"),
            TensorSpec(f"{prefix}.wv", (d, kw), "linear"),
            TensorSpec(f"{prefix}.wo", (qw, d), "linear"),
            TensorSpec(f"{prefix}.q_norm", (hd,), "norm"),
            TensorSpec(f"{prefix}.k_norm", (hd,), "norm")]


def _ffn_specs(prefix: str, cfg: Gen1Config) -> list[TensorSpec]:
    if cfg.no_feedforward:
        return []
    d, f = cfg.d_model, cfg.ffn_dim
    return [TensorSpec(f"{prefix}.ffn.gate_proj", (d, f), "linear"),
            TensorSpec(f"{prefix}.ffn.up_proj", (d, f), "linear"),
            TensorSpec(f"{prefix}.ffn.down_proj", (f, d), "linear"),
            TensorSpec(f"{prefix}.ffn_norm", (d,), "norm"),
            TensorSpec(f"{prefix}.ffn_gate", (1,), "gate")]


def tensor_specs(cfg: Gen1Config, contrastive: tuple[int, int] | None = None
                 ) -> list[TensorSpec]:
    """Every tensor a model of this configuration carries, by its file name."""
    d = cfg.d_model
    out = [TensorSpec("embedding", (cfg.vocab_size, d), "embedding")]
    for i in range(cfg.num_encoder_layers):
        p = f"encoder.{i}"
        out += _attn_specs(f"{p}.self_attn", cfg)
        out += [TensorSpec(f"{p}.norm", (d,), "norm"),
                TensorSpec(f"{p}.self_attn_gate", (1,), "gate")]
        out += _ffn_specs(p, cfg)
    for i in range(cfg.num_decoder_layers):
        p = f"decoder.{i}"
        out += _attn_specs(f"{p}.self_attn", cfg)
        out += [TensorSpec(f"{p}.self_attn_norm", (d,), "norm"),
                TensorSpec(f"{p}.self_attn_gate", (1,), "gate")]
        out += _attn_specs(f"{p}.cross_attn", cfg)
        out += [TensorSpec(f"{p}.cross_attn_norm", (d,), "norm"),
                TensorSpec(f"{p}.cross_attn_gate", (1,), "gate")]
        out += _ffn_specs(p, cfg)
    out += [TensorSpec("encoder_final_norm", (d,), "norm"),
            TensorSpec("decoder_final_norm", (d,), "norm")]
    if contrastive is not None:
        hidden, width = contrastive
        out += [TensorSpec("contrastive_hidden_kernel", (d, hidden), "contrastive"),
                TensorSpec("contrastive_hidden_bias", (hidden,), "contrastive"),
                TensorSpec("contrastive_proj_kernel", (hidden, width), "contrastive")]
    return out


def linear_layers(cfg: Gen1Config) -> list[TensorSpec]:
    return [s for s in tensor_specs(cfg) if s.kind == "linear"]


# ----------------------------------------------------------------------------
# 4-bit quantisation


class Int4Linear(NamedTuple):
    """One 4-bit layer. packed: (pairs, out) bytes, byte (k, o) holding rows
    2k (low nibble) and 2k + 1 (high nibble) of column o; scales: (G, out),
    group q covering rows q * g ... q * g + g - 1 with g = min(in, 32)."""

    in_features: int
    out_features: int
    packed: np.ndarray
    scales: np.ndarray

    @property
    def group(self) -> int:
        return min(self.in_features, 32)

    @property
    def groups(self) -> int:
        return self.scales.size // self.out_features


def _round_half_away(x: np.ndarray) -> np.ndarray:
    """Exact: the fraction of |x| is computed without rounding."""
    a = np.abs(x)
    f = np.floor(a)
    return np.copysign(f + (a - f >= F32(0.5)), x)


def quantize_int4(w, in_features: int, out_features: int) -> Int4Linear:
    """The runtime's load-time quantiser (single-precision arithmetic)."""
    w = np.asarray(w, F32).reshape(in_features, out_features)
    if in_features <= 0:
        raise ValueError("in_features must be positive")
    g = min(in_features, 32)
    groups = -(-in_features // g)
    padded = groups * g
    pairs = -(-padded // 2)
    rows = np.zeros((2 * pairs, out_features), F32)
    rows[:in_features] = w
    amax = np.abs(rows[:padded]).reshape(groups, g, out_features).max(axis=1)
    scales = np.maximum(amax / F32(7), F32(1e-8)).astype(F32)
    row_scale = np.repeat(scales, g, axis=0)
    row_scale = np.concatenate([row_scale, np.ones((2 * pairs - padded, out_features), F32)])
    v = np.clip(_round_half_away((rows / row_scale).astype(F32)), -8, 7).astype(np.int16)
    v[in_features:] = 0
    packed = ((v[1::2] << 4) | (v[0::2] & 0xF)) & 0xFF
    return Int4Linear(in_features, out_features, packed.astype(np.uint8), scales)


def dequantize_int4(layer: Int4Linear) -> np.ndarray:
    """The (in, out) float matrix the layer multiplies by: code x its scale."""
    n, out = layer.in_features, layer.out_features
    b = np.asarray(layer.packed, np.uint8).reshape(-1, out).astype(np.int16)
    low, high = b & 0xF, b >> 4
    codes = np.empty((2 * b.shape[0], out), np.int16)
    codes[0::2] = np.where(low > 7, low - 16, low)
    codes[1::2] = np.where(high > 7, high - 16, high)
    scales = np.asarray(layer.scales, F32).reshape(-1, out)
    group_of_row = np.arange(n) // layer.group
    return (codes[:n].astype(F32) * scales[group_of_row]).astype(F32)


# ----------------------------------------------------------------------------
# Models


@dataclass
class Gen1Model:
    """Float tensors by file name (linear layers as (in, out) matrices), the
    layers to be written pre-quantised (`packed`; their float originals stay
    in `tensors` when known), and the contrastive head's (hidden, out)."""

    cfg: Gen1Config
    tensors: dict = field(default_factory=dict)
    packed: dict = field(default_factory=dict)
    contrastive: tuple | None = None

    def specs(self) -> list[TensorSpec]:
        return tensor_specs(self.cfg, self.contrastive)

    def linear(self, name: str) -> np.ndarray:
        """What the runtime multiplies by: the packed layer dequantised, the
        float matrix quantised and dequantised, or zeros when missing."""
        spec = next(s for s in linear_layers(self.cfg) if s.name == name)
        n, out = spec.shape
        if name in self.packed:
            return dequantize_int4(self.packed[name])
        w = self.tensors.get(name)
        if w is None:
            w = np.zeros((n, out), F32)
        return dequantize_int4(quantize_int4(w, n, out))

    def dequantised(self) -> dict:
        """Every present tensor as the runtime sees it after load."""
        out = {k: np.asarray(v, F32) for k, v in self.tensors.items()}
        for s in linear_layers(self.cfg):
            if s.name in self.tensors or s.name in self.packed:
                out[s.name] = self.linear(s.name)
        return out


def _choose_packed(prequantised, names: list[str]) -> set:
    if prequantised is True:
        return set(names[0::2])   # every other layer: both load paths in one file
    if not prequantised:
        return set()
    return set(prequantised)


def random_model(cfg: Gen1Config, seed: int = 0, contrastive: tuple[int, int] | None = None,
                 prequantised=False, missing: Iterable[str] = ()) -> Gen1Model:
    """Random weights scaled so activations stay O(1) and logits are spread:
    linear layers ~ N(0, 1/in), embedding rows of unit RMS after the
    sqrt(d_model) scale (logits ~ N(0, 1) against a normed hidden state),
    norm offsets ~ N(0, 0.1) (the decoder's final norm: scales ~ N(0, 1),
    see below), gate logits ~ N(0, 0.5), the contrastive head
    ~ N(0, 1/fan_in) with a small bias.

    prequantised: False; True (every other linear layer, in file order, so
    one file exercises both load paths); or a collection of layer names.
    missing: names left out of the model (the runtime substitutes zeros)."""
    rng = np.random.default_rng(seed)
    specs = tensor_specs(cfg, contrastive)
    t: dict[str, np.ndarray] = {}

    def normal(shape, std, mean=0.0):
        return (mean + std * rng.standard_normal(shape)).astype(F32)

    for s in specs:
        if s.kind == "linear":
            v = normal(s.shape, 1.0 / math.sqrt(s.shape[0]))
        elif s.kind == "embedding":
            v = normal(s.shape, 1.0 / math.sqrt(cfg.d_model))
        elif s.name == "decoder_final_norm":
            # scales 1 + w ~ N(0, 1) with random signs: the output head shares
            # the embedding, and a hidden state still aligned with the input
            # token's row would make each step predict its own input (the
            # start id 1 is also the stop id, so generation would end at once)
            v = normal(s.shape, 1.0, -1.0)
        elif s.kind == "norm":
            v = normal(s.shape, 0.1)
        elif s.kind == "gate":
            v = normal(s.shape, 0.5)
        elif s.name == "contrastive_hidden_bias":
            v = normal(s.shape, 0.1)
        else:
            v = normal(s.shape, 1.0 / math.sqrt(s.shape[0]))
        t[s.name] = np.ascontiguousarray(v)
    missing = set(missing)
    unknown = missing - set(t)
    if unknown:
        raise KeyError(f"not a tensor of this model: {sorted(unknown)}")
    for name in missing:
        del t[name]
    lin = [s for s in specs if s.kind == "linear" and s.name in t]
    chosen = _choose_packed(prequantised, [s.name for s in lin])
    packed = {s.name: quantize_int4(t[s.name], *s.shape) for s in lin if s.name in chosen}
    return Gen1Model(cfg=cfg, tensors=t, packed=packed, contrastive=contrastive)


# ----------------------------------------------------------------------------
# Writer and reader


def file_tensors(model: Gen1Model) -> dict[str, np.ndarray]:
    """name -> array as written: floats as F32, a pre-quantised layer as its
    packed bytes (dtype I8, shape [nbytes]) plus `name.scale` (F32, (G, out))."""
    out = {}
    for name, v in model.tensors.items():
        if name not in model.packed:
            out[name] = np.ascontiguousarray(v, F32)
    for name, layer in model.packed.items():
        out[name] = np.ascontiguousarray(layer.packed).reshape(-1).view(np.int8)
        out[name + ".scale"] = np.ascontiguousarray(layer.scales, F32)
    return out


def write_gen1(path_or_none, model: Gen1Model, metadata: dict | None = None) -> bytes:
    """The safetensors file of `model` (the library's own writer) with the
    configuration as metadata (`metadata` overrides or adds keys); written
    to the path when one is given."""
    from safetensors.numpy import save

    meta = dict(model.cfg.metadata(), **(metadata or {}))
    data = save(file_tensors(model), metadata=meta)
    if path_or_none is not None:
        Path(path_or_none).write_bytes(data)
    return data


def read_gen1(source) -> Gen1Model:
    """A written file back as a model (configuration from the metadata, float
    tensors, pre-quantised layers as `Int4Linear` when the scale count
    divides by out_features, as the runtime's loader decides)."""
    import json

    from safetensors.numpy import load

    if isinstance(source, (bytes, bytearray, memoryview)):
        data = bytes(source)
    else:
        data = Path(source).read_bytes()
    n = int.from_bytes(data[:8], "little")
    meta = json.loads(data[8:8 + n]).get("__metadata__", {}) or {}
    cfg = parse_gen1_config(meta)
    raw = load(data)
    specs = {s.name: s for s in tensor_specs(cfg, None)}
    t, packed = {}, {}
    for name, arr in raw.items():
        if name.endswith(".scale"):
            continue
        spec = specs.get(name)
        scale = raw.get(name + ".scale")
        if (spec is not None and spec.kind == "linear" and scale is not None
                and scale.size % spec.shape[1] == 0):
            n_in, n_out = spec.shape
            packed[name] = Int4Linear(n_in, n_out,
                                      arr.view(np.uint8).reshape(-1, n_out),
                                      scale.astype(F32).reshape(-1, n_out))
        else:
            t[name] = arr.astype(F32)
    contrastive = None
    b, k, p = (t.get(x) for x in ("contrastive_hidden_bias", "contrastive_hidden_kernel",
                                  "contrastive_proj_kernel"))
    if b is not None and k is not None and p is not None and b.size:
        contrastive = (b.size, p.size // b.size)
    for name in list(t):
        spec = specs.get(name)
        if spec is not None and spec.kind == "linear" and t[name].size == math.prod(spec.shape):
            t[name] = t[name].reshape(spec.shape)
    return Gen1Model(cfg=cfg, tensors=t, packed=packed, contrastive=contrastive)


# ----------------------------------------------------------------------------
# Vocabulary


def _gen1_corpus(lines: int, seed: int) -> Iterator[str]:
    """The generation-3 corpus without the chat markers: generation 1 has no
    chat template, so the markers would only spend vocabulary."""
    for line in corpus_lines(lines, seed):
        for marker in CHAT_SYMBOLS:
            line = line.replace(marker, " ")
        yield line


def train_vocab(vocab_size: int, seed: int = 0) -> Path:
    """A cached sentencepiece BPE model with the generation-1 id layout (see
    the module docstring): pad 0, eos 1, bos 2, unk 3, the user pieces
    "<call>" 4 and "<sep>" 5, then byte fallback pieces; identity
    normalisation and no whitespace folding, so the pieces are the raw text
    with U+2581 for spaces."""
    out = cache_dir() / f"gen1_bpe_{vocab_size}_s{seed}.model"
    if out.exists():
        return out
    return train_sentencepiece(
        out, vocab_size, _gen1_corpus(max(20000, vocab_size * 5), seed),
        byte_fallback=True, character_coverage=1.0, user_defined_symbols=list(USER_SYMBOLS),
        normalization_rule_name="identity", remove_extra_whitespaces=False,
        pad_id=PAD_ID, eos_id=EOS_ID, bos_id=BOS_ID, unk_id=UNK_ID)


def sentencepiece_processor(vocab_size: int, seed: int = 0):
    """The cached generation-1 model loaded in sentencepiece."""
    import sentencepiece as spm

    return spm.SentencePieceProcessor(model_file=str(train_vocab(vocab_size, seed)))


def vocab_text_for(vocab_size: int, seed: int = 0, scores: bool = True) -> str:
    """The vocabulary text: one line per id, "piece<TAB>score" (scores=True,
    the scored-merge path of the runtime's tokenizer) or the piece alone
    (scores=False, its greedy longest-match path)."""
    sp = sentencepiece_processor(vocab_size, seed)
    lines = []
    for i in range(sp.get_piece_size()):
        piece = sp.id_to_piece(i)
        assert "\n" not in piece and "\t" not in piece and "\r" not in piece, piece
        lines.append(f"{piece}\t{sp.get_score(i):g}" if scores else piece)
    return "\n".join(lines) + "\n"


def vocab_encode(vocab_text: str, text: str) -> list[int]:
    """The vocabulary tokenizer's ids of `text`, written from its rules:
    trimmed, each run of white space one U+2581 with one in front, then
    scored pair merging (leftmost of the highest score) when the vocabulary
    has scores, else greedy longest match; unknown characters fall back to
    "<0xNN>" byte pieces, or id 3."""
    parts = vocab_text.split("\n")
    terminated = vocab_text.endswith("\n")
    if terminated:
        parts.pop()
    # A "\r" right before a "\n" goes; one at the very end stays.
    lines = [ln[:-1] if ln.endswith("\r") and (i < len(parts) - 1 or terminated) else ln
             for i, ln in enumerate(parts)]
    scored = any("\t" in ln for ln in lines)
    pieces, scores = [], []
    for ln in lines:
        piece, _, score = ln.partition("\t")
        pieces.append(piece)
        try:
            scores.append(float(score.strip()) if "\t" in ln else 0.0)
        except ValueError:
            scores.append(0.0)
    ids = {p: i for i, p in enumerate(pieces)}
    text = text.strip()
    if not text:
        return []
    norm, prev_space = "\u2581", False
    for ch in text:
        if ch.isspace():
            if not prev_space:
                norm += "\u2581"
            prev_space = True
        else:
            norm += ch
            prev_space = False

    def byte_ids(ch):
        return [ids.get(f"<0x{b:02X}>", 3) for b in ch.encode("utf-8")]

    if scored:
        syms = []
        for ch in norm:
            syms += [(ch, ids[ch])] if ch in ids else [(f"<0x{b:02X}>", i) for b, i in
                                                       zip(ch.encode("utf-8"), byte_ids(ch))]
        while len(syms) >= 2:
            best = None
            for k in range(len(syms) - 1):
                joined = syms[k][0] + syms[k + 1][0]
                if joined in ids and (best is None or scores[ids[joined]] > best[0]):
                    best = (scores[ids[joined]], k, joined)
            if best is None:
                break
            _, k, joined = best
            syms[k:k + 2] = [(joined, ids[joined])]
        return [i for _, i in syms]
    data, out, p = norm.encode("utf-8"), [], 0
    longest = max((len(x.encode("utf-8")) for x in pieces), default=0)
    while p < len(data):
        for end in range(min(p + longest, len(data)), p, -1):
            try:
                cand = data[p:end].decode("utf-8")
            except UnicodeDecodeError:
                continue
            if cand in ids:
                out.append(ids[cand])
                p = end
                break
        else:
            out.append(ids.get(f"<0x{data[p]:02X}>", 3))
            p += 1
    return out


def vocab_pieces(vocab_text: str) -> list[str]:
    """Piece texts in id order, by the runtime's line rule: lines split at
    "\n", a "\r" just before a "\n" dropped, no line after a final "\n",
    the piece being the text before the first tab."""
    lines = vocab_text.split("\n")
    last = lines.pop()
    lines = [ln[:-1] if ln.endswith("\r") else ln for ln in lines]
    if last:
        lines.append(last)
    return [ln.split("\t", 1)[0] for ln in lines]


# ----------------------------------------------------------------------------
# Presets


def tiny_gen1(vocab_size: int = 512) -> Gen1Config:
    return Gen1Config(d_model=32, num_heads=4, num_kv_heads=2, num_encoder_layers=2,
                      num_decoder_layers=2, vocab_size=vocab_size, max_enc_len=128,
                      max_dec_len=32, ffn_dim=64, activation="swiglu", no_feedforward=False)


def bench_gen1(vocab_size: int = 8192) -> Gen1Config:
    """The configuration defaults with feed-forward sublayers (SwiGLU) on."""
    return Gen1Config(vocab_size=vocab_size, activation="swiglu", no_feedforward=False)


PRESETS = {
    # name: (config factory, tokenizer pieces, contrastive (hidden, out))
    "tiny-gen1": (tiny_gen1, 512, (32, 16)),
    "bench-gen1": (bench_gen1, 8192, (512, 256)),
}


def build_preset(name: str, seed: int = 0, prequantised=False, scores: bool = True
                 ) -> tuple[Gen1Model, str]:
    """(random model, vocabulary text) of a named preset; the vocabulary size
    is the tokenizer's piece count."""
    factory, pieces, head = PRESETS[name]
    vocab = vocab_text_for(pieces, scores=scores)
    cfg = factory(len(vocab_pieces(vocab)))
    return random_model(cfg, seed=seed, contrastive=head, prequantised=prequantised), vocab


# ----------------------------------------------------------------------------
# Command line


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m pinnet_tools.gen1",
                                 description="Write a random generation-1 model and vocabulary.")
    ap.add_argument("--preset", choices=sorted(PRESETS), default="tiny-gen1")
    ap.add_argument("--out", required=True, help="output .safetensors path")
    ap.add_argument("--vocab-out", required=True, help="output vocabulary text path")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--prequantised", action="store_true",
                    help="store every other linear layer packed 4-bit with its scales")
    ap.add_argument("--no-scores", action="store_true",
                    help="write pieces only (the tokenizer's greedy path)")
    args = ap.parse_args(argv)
    model, vocab = build_preset(args.preset, seed=args.seed, prequantised=args.prequantised,
                                scores=not args.no_scores)
    data = write_gen1(args.out, model)
    Path(args.vocab_out).write_text(vocab, encoding="utf-8")
    c = model.cfg
    print(f"wrote {args.out}: {len(data)} bytes, {len(file_tensors(model))} tensors, "
          f"{c.num_encoder_layers}+{c.num_decoder_layers} blocks, d_model {c.d_model}, "
          f"vocab {c.vocab_size}; {args.vocab_out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
