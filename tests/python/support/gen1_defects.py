"""Malformed generation-1 files: the configuration and embedding checks of the
loader, and the safetensors reader's parse errors, each with the exact text
the loader reports."""
from __future__ import annotations

import json

from pinnet_tools.gen1 import Gen1Config, parse_gen1_config, random_model, write_gen1

from . import Defect


def defect_config() -> Gen1Config:
    """Small valid base of the configuration defects."""
    return Gen1Config(d_model=16, num_heads=2, num_kv_heads=1, num_encoder_layers=1,
                      num_decoder_layers=1, vocab_size=24, max_enc_len=16, max_dec_len=8,
                      ffn_dim=32)


def load_error(data: bytes) -> str | None:
    """The configuration and embedding verdict of the loader on a file the
    safetensors library reads (None: those checks pass)."""
    from safetensors.numpy import load

    n = int.from_bytes(data[:8], "little")
    cfg = parse_gen1_config(json.loads(data[8:8 + n]).get("__metadata__", {}) or {})
    msg = cfg.validation_error()
    if msg:
        return msg
    emb = load(bytes(data)).get("embedding")
    if emb is None:
        return "missing embedding tensor"
    if emb.size != cfg.vocab_size * cfg.d_model:
        return f"embedding size mismatch: got {emb.size}, expected {cfg.vocab_size * cfg.d_model}"
    return None


def valid_defect_base(seed: int = 0) -> bytes:
    return write_gen1(None, random_model(defect_config(), seed=seed))


def _raw_file(header: bytes | str, data: bytes = b"", length: int | None = None) -> bytes:
    h = header.encode() if isinstance(header, str) else header
    n = len(h) if length is None else length
    return n.to_bytes(8, "little") + h + data


def defects(seed: int = 0) -> list[Defect]:
    """Every load error of the configuration, the embedding and the
    safetensors reader, each with the exact text the loader reports."""
    base_cfg = defect_config()
    base = random_model(base_cfg, seed=seed)
    out: list[Defect] = []

    def meta(name, message, note="", **keys):
        out.append(Defect(name, write_gen1(None, base, {k: str(v) for k, v in keys.items()}),
                          message, note))

    meta("num_heads_zero", "num_heads must be > 0", num_heads=0)
    meta("num_kv_heads_zero", "num_kv_heads must be > 0", num_kv_heads=0)
    meta("d_model_zero", "d_model must be > 0", d_model=0)
    meta("heads_zero_before_d_model", "num_heads must be > 0",
         "num_heads is checked before d_model", num_heads=0, d_model=0)
    meta("d_model_not_divisible", "d_model must be divisible by num_heads", num_heads=3)
    meta("kv_not_divisible", "num_heads must be divisible by num_kv_heads",
         num_heads=4, num_kv_heads=3)
    meta("vocab_zero", "vocab_size must be > 0", vocab_size=0)
    meta("d_model_negative_is_default", "embedding size mismatch: got 384, expected 12288",
         "-16 is unusable and falls back to 512", d_model="-16")
    meta("vocab_grown", "embedding size mismatch: got 384, expected 400", vocab_size=25)
    meta("plus_sign_read", "embedding size mismatch: got 384, expected 400",
         "a leading + is accepted", vocab_size="+25")
    no_emb = random_model(base_cfg, seed=seed, missing=["embedding"])
    out.append(Defect("missing_embedding", write_gen1(None, no_emb), "missing embedding tensor"))

    # the safetensors reader
    w = '"w":{"dtype":"F32","shape":[1],"data_offsets":[0,4]}'
    four = bytes(4)
    out += [
        Defect("seven_bytes", bytes(7), "buffer too short"),
        Defect("header_past_end", _raw_file(b"", length=1), "truncated header"),
        Defect("header_length_overflow", (2 ** 64 - 1).to_bytes(8, "little") + b"{}",
               "truncated header", "8 + n overflows 64 bits"),
        Defect("header_not_utf8", _raw_file(b'{"a\xff":1}'), "invalid UTF-8 header"),
        Defect("header_array", _raw_file("[1]"), "expected JSON object"),
        Defect("header_empty", _raw_file("   "), "expected JSON object"),
        Defect("missing_dtype", _raw_file('{"w":{"shape":[1],"data_offsets":[0,4]}}', four),
               "missing dtype for w"),
        Defect("dtype_not_string", _raw_file('{"w":{"dtype":7,"shape":[1],'
                                             '"data_offsets":[0,4]}}', four),
               "missing dtype for w"),
        Defect("missing_shape", _raw_file('{"w":{"dtype":"F32","data_offsets":[0,4]}}', four),
               "missing shape for w"),
        Defect("shape_empty_piece", _raw_file('{"w":{"dtype":"F32","shape":[2,,3],'
                                              '"data_offsets":[0,24]}}', bytes(24)),
               "missing shape for w"),
        Defect("missing_offsets", _raw_file('{"w":{"dtype":"F32","shape":[1]}}', four),
               "missing data_offsets for w"),
        Defect("three_offsets", _raw_file('{"w":{"dtype":"F32","shape":[1],'
                                          '"data_offsets":[0,4,8]}}', bytes(8)),
               "data_offsets must have 2 elements"),
        Defect("unknown_dtype", _raw_file('{"w":{"dtype":"U8","shape":[4],'
                                          '"data_offsets":[0,4]}}', four),
               "unknown dtype U8"),
        Defect("second_tensor_bad", _raw_file("{" + w + ',"v":{"dtype":"F64","shape":[1],'
                                              '"data_offsets":[4,12]}}', bytes(12)),
               "unknown dtype F64", "the first tensor parses; the second fails"),
    ]
    assert len({d.name for d in out}) == len(out)
    return out
