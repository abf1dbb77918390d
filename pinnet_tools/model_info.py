"""What a model file holds, for `pinnet inspect`: generation, geometry,
ladder rungs, heads, tokenizer size, tensors by kind and bit width, file
size and key/value cache bytes at a few context lengths.

The file is read with the repository's container readers (which check every
offset), and the engine is loaded too, so a file described here is one the
runtime accepts.
"""
from __future__ import annotations

import json
import struct
from collections import Counter
from pathlib import Path
from typing import Optional

from . import gen1
from .chat import Model
from .gen3 import rung
from .tesk import DTYPE_BYTES, DTYPE_CQ, DTYPE_F16, DTYPE_F32, read_tesk

KV_LENGTHS = (256, 1024, 4096)
_DTYPES = {DTYPE_F16: "f16", DTYPE_F32: "f32", DTYPE_BYTES: "bytes"}
_CQ_KINDS = {2: "cq 2-bit", 3: "cq 3-bit", 4: "cq 4-bit", 5: "cq ternary"}


def _tesk_tensors(img) -> dict[str, int]:
    kinds = Counter(_CQ_KINDS.get(e.bits, f"cq bits {e.bits}") if e.dtype == DTYPE_CQ
                    else _DTYPES.get(e.dtype, f"dtype {e.dtype}") for e in img.entries)
    return dict(sorted(kinds.items()))


def _tokenizer_pieces(img) -> Optional[int]:
    # The embedded tokenizer is the container's one byte tensor; its first
    # word is the piece count.
    blobs = [img.raw(i) for i, e in enumerate(img.entries) if e.dtype == DTYPE_BYTES]
    return struct.unpack_from("<I", blobs[-1])[0] if blobs and len(blobs[-1]) >= 24 else None


def _safetensors_header(path: Path) -> dict:
    size = path.stat().st_size
    with open(path, "rb") as f:
        n = struct.unpack("<Q", f.read(8))[0]
        if n > size - 8:
            raise ValueError(f"{path}: header of {n} bytes in a file of {size}")
        return json.loads(f.read(n))


def describe(model: Model) -> dict:
    """A JSON-ready description of an opened model."""
    path, g, engine = model.path, model.generation, model.engine
    info = {"path": str(path), "generation": g, "class": type(engine).__name__,
            "file_bytes": path.stat().st_size}
    if g in (2, 3):
        img = read_tesk(path.read_bytes(), version=g)
        h = img.header
        keys = ("vocab_size" if g == 3 else "vocab", "d_model", "num_layers", "num_heads",
                "num_kv_heads", "head_dim", "max_seq_len", "hada_n", "mhc_lanes", "kv_window")
        info["geometry"] = {k: h[k] for k in keys} | {"rope_theta": img.rope_theta}
        info["tokenizer_pieces"] = _tokenizer_pieces(img)
        info["tensors"] = _tesk_tensors(img)
    if g == 3:
        n = img.header["num_layers"]
        info["ladder"] = {str(k): rung(n, k) for k in range(2, n + 1)}
        info["running_blocks"] = engine.num_layers
        info["heads"] = ["confidence"] if engine.has_confidence() else []
        info["kv_bytes"] = {str(t): {"float": engine.kv_bytes(t), "int8": engine.kv_bytes(t, True)}
                            for t in KV_LENGTHS}
    elif g == 2:
        cfg = engine.config()
        info["heads"] = (["contrastive"] if engine.contrastive_dim() else []) + \
                        (["confidence"] if engine.confidence("") is not None else [])
        # f32 keys and values, kv_window positions at most when set.
        per_pos = 2 * cfg["num_layers"] * cfg["num_kv_heads"] * cfg["head_dim"] * 4
        info["kv_bytes"] = {str(t): {"float": per_pos * min(t, cfg["kv_window"] or t,
                                                            cfg["max_seq_len"])}
                            for t in KV_LENGTHS}
    elif g == 1:
        header = _safetensors_header(path)
        cfg = gen1.parse_gen1_config(header.get("__metadata__") or {})
        info["geometry"] = {k: getattr(cfg, k) for k in (
            "vocab_size", "d_model", "num_heads", "num_kv_heads", "num_encoder_layers",
            "num_decoder_layers", "ffn_dim", "max_enc_len", "max_dec_len", "rope_theta")}
        info["tokenizer_pieces"] = len(gen1.vocab_pieces(model.vocab_path.read_text("utf-8")))
        tensors = Counter(v.get("dtype", "?").lower() for k, v in header.items()
                          if k != "__metadata__" and isinstance(v, dict))
        info["tensors"] = dict(sorted(tensors.items()))
        info["heads"] = ["contrastive"] if engine.contrastive_dim() else []
        per_pos = 2 * cfg.num_decoder_layers * cfg.num_kv_heads * cfg.head_dim * 4
        info["kv_bytes"] = {str(t): {"float": per_pos * min(t, cfg.max_dec_len)} for t in KV_LENGTHS}
    return info


def _mib(n: int) -> str:
    return f"{n / 2**20:.2f} MiB" if n >= 2**20 else f"{n / 1024:.1f} KiB"


def render(info: dict) -> str:
    """The description as aligned text for a terminal."""
    lines = [f"{info['path']}: generation {info['generation']} ({info['class']}), "
             f"{_mib(info['file_bytes'])}"]
    geo = info.get("geometry", {})
    lines.append("  geometry   " + ", ".join(f"{k} {v}" for k, v in geo.items()))
    if "ladder" in info:
        rungs = sorted(info["ladder"], key=int)
        lines.append(f"  ladder     rungs of {rungs[0]}..{rungs[-1]} blocks, running "
                     f"{info['running_blocks']}: blocks {info['ladder'][str(info['running_blocks'])]}")
    lines.append("  heads      " + (", ".join(info["heads"]) or "none"))
    lines.append(f"  tokenizer  {info.get('tokenizer_pieces') or 'none'} pieces")
    lines.append("  tensors    " + ", ".join(f"{n} {k}" for k, n in info.get("tensors", {}).items()))
    for t, v in info["kv_bytes"].items():
        lines.append(f"  kv cache   {t:>5} positions: " + ", ".join(
            f"{_mib(b)} {k}" for k, b in v.items()))
    return "\n".join(lines)

