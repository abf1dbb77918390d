"""Writer and reader of .tesk containers (generations 2 and 3). The writer
also makes deliberately malformed files: the tests' defect generators build
on its overrides.

A file is: a header of 32-bit little-endian words (30 for generation 2, 49
for generation 3), the 28 codebook floats, a directory of 44-byte entries
(dtype u8, ndim u8, 2 padding bytes, four u32 dims, u64 offset, u64 nbytes,
u32 group, u8 bits, 3 padding bytes) and the tensor bytes at absolute
offsets. The writer places tensor data after the directory, each start
aligned to `align` bytes, unless an entry fixes its own offset.

Header fields are given by name (see V2_WORDS / V3_WORDS); omitted fields
take the values of a small valid geometry. Counts that the writer can derive
(tensor_count, codebook_len, order_count, site_count) are derived unless
given explicitly, which is how malformed files are made.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Optional, Sequence

import numpy as np

from .cq_quantise import CqMatrix, header_codebook

TESK_MAGIC_V2 = 0x05E12A83
TESK_MAGIC_V3 = 0x05E12A84
DTYPE_F16, DTYPE_F32, DTYPE_CQ, DTYPE_BYTES = 1, 2, 3, 4
ENTRY_BYTES = 44
CODEBOOK_LEN = 28

# Word index of every named scalar header field.
V2_WORDS = {
    "tag": 0, "tensor_count": 1, "codebook_len": 2, "kv_window": 3, "reserved": 4,
    "vocab": 5, "d_model": 6, "num_heads": 7, "num_kv_heads": 8, "num_layers": 9,
    "head_dim": 10, "max_seq_len": 11, "hada_n": 12, "mhc_lanes": 13, "table_rows": 14,
    "sub_dim": 15, "num_tables": 16, "conv_taps": 17, "tap_spacing": 18, "order_count": 19,
    "site_count": 24,
}
V2_HEADER_WORDS = 30
V2_LISTS = {"orders": (20, 4), "engram_sites": (25, 4)}  # first word, capacity
V2_ROPE_WORD = 29

V3_WORDS = {
    "tag": 0, "tensor_count": 1, "codebook_len": 2, "reserved3": 3, "reserved4": 4,
    "vocab_size": 5, "logit_count": 6, "d_model": 7, "num_heads": 8, "num_kv_heads": 9,
    "num_layers": 10, "head_dim": 11, "v_head_dim": 12, "max_seq_len": 13, "hada_n": 14,
    "mhc_lanes": 15, "kv_window": 16, "qkv_conv_taps": 19, "table_rows": 20, "sub_dim": 21,
    "num_tables": 22, "conv_taps": 23, "tap_spacing": 24, "hash_stride": 25,
    "order_count": 26, "site_count": 31,
}
V3_HEADER_WORDS = 49
V3_LISTS = {"orders": (27, 4), "engram_sites": (32, 16)}
V3_ROPE_WORD = 48
V3_MASK_WORDS = (17, 18)  # global_layer_mask, low then high half

V2_DEFAULTS = dict(
    tag=TESK_MAGIC_V2, kv_window=0, reserved=0, vocab=64, d_model=16, num_heads=2,
    num_kv_heads=1, num_layers=2, head_dim=8, max_seq_len=32, hada_n=16, mhc_lanes=2,
    table_rows=8, sub_dim=4, num_tables=2, conv_taps=2, tap_spacing=1,
    orders=[2, 3], engram_sites=[1], rope_theta=10000.0,
)
V3_DEFAULTS = dict(
    tag=TESK_MAGIC_V3, reserved3=0, reserved4=0, vocab_size=64, logit_count=0, d_model=16,
    num_heads=2, num_kv_heads=1, num_layers=2, head_dim=8, v_head_dim=8, max_seq_len=32,
    hada_n=32, mhc_lanes=2, kv_window=16, global_layer_mask=0b1, qkv_conv_taps=0,
    table_rows=8, sub_dim=4, num_tables=4, conv_taps=2, tap_spacing=1, hash_stride=7,
    orders=[2, 3], engram_sites=[1], rope_theta=10000.0,
)


@dataclass
class Tensor:
    """One directory entry and its data. `dims` may hold up to four values;
    `ndim` defaults to len(dims). `offset` / `nbytes` override the placement
    and the recorded length (the data is then written at `offset` if it fits
    the file, or not at all when `write_data` is False)."""
    dtype: int
    dims: Sequence[int]
    data: bytes = b""
    group: int = 0
    bits: int = 0
    ndim: Optional[int] = None
    offset: Optional[int] = None
    nbytes: Optional[int] = None
    write_data: bool = True
    pad_bytes: bytes = b"\0\0"     # entry bytes 2..3
    tail_bytes: bytes = b"\0\0\0"  # entry bytes 41..43


def f32_tensor(values, dims=None) -> Tensor:
    a = np.asarray(values, dtype="<f4")
    return Tensor(DTYPE_F32, list(a.shape) if dims is None else list(dims), a.tobytes())


def f16_tensor(values, dims=None) -> Tensor:
    a = np.asarray(values, dtype="<f2")
    return Tensor(DTYPE_F16, list(a.shape) if dims is None else list(dims), a.tobytes())


def f16_bits_tensor(bits, dims=None) -> Tensor:
    """Binary16 values given as raw 16-bit patterns (NaN payloads included)."""
    a = np.asarray(bits, dtype="<u2")
    return Tensor(DTYPE_F16, list(a.shape) if dims is None else list(dims), a.tobytes())


def bytes_tensor(data: bytes) -> Tensor:
    return Tensor(DTYPE_BYTES, [len(data)], bytes(data))


def cq_tensor(m: CqMatrix) -> Tensor:
    return Tensor(DTYPE_CQ, [m.rows, m.cols], m.blob(), group=m.group, bits=m.bits)


def _u32(v: int) -> int:
    if not 0 <= v <= 0xFFFFFFFF:
        raise ValueError(f"{v} does not fit a 32-bit word")
    return v


def header_words(version: int, fields: dict, tensor_count: int) -> bytes:
    """The header bytes for `version` from named fields over the defaults."""
    if version == 2:
        words_of, n_words, lists, rope_word = V2_WORDS, V2_HEADER_WORDS, V2_LISTS, V2_ROPE_WORD
        values = dict(V2_DEFAULTS)
    elif version == 3:
        words_of, n_words, lists, rope_word = V3_WORDS, V3_HEADER_WORDS, V3_LISTS, V3_ROPE_WORD
        values = dict(V3_DEFAULTS)
    else:
        raise ValueError(f"unknown container version {version}")
    unknown = set(fields) - set(values) - set(words_of) - {"global_layer_mask"}
    if unknown:
        raise KeyError(f"unknown header fields {sorted(unknown)}")
    values.update(fields)
    values.setdefault("tensor_count", tensor_count)
    values.setdefault("codebook_len", CODEBOOK_LEN)
    words = [0] * n_words
    for name, (first, cap) in lists.items():
        items = list(values[name])
        if len(items) > cap:
            raise ValueError(f"{name} holds at most {cap} values")
        count_name = "order_count" if name == "orders" else "site_count"
        values.setdefault(count_name, len(items))
        for i, v in enumerate(items):
            words[first + i] = _u32(v)
    for name, k in words_of.items():
        words[k] = _u32(values[name])
    if version == 3:
        mask = values["global_layer_mask"]
        words[V3_MASK_WORDS[0]] = mask & 0xFFFFFFFF
        words[V3_MASK_WORDS[1]] = mask >> 32
    out = bytearray(struct.pack(f"<{n_words}I", *words))
    struct.pack_into("<f", out, 4 * rope_word, values["rope_theta"])
    return bytes(out)


def entry_bytes(t: Tensor, offset: int, nbytes: int) -> bytes:
    dims = list(t.dims) + [0] * (4 - len(t.dims))
    if len(dims) != 4:
        raise ValueError("an entry holds at most four dims")
    ndim = len(t.dims) if t.ndim is None else t.ndim
    return (struct.pack("<BB", t.dtype, ndim) + t.pad_bytes + struct.pack("<4I", *dims)
            + struct.pack("<QQI", offset, nbytes, t.group) + struct.pack("<B", t.bits)
            + t.tail_bytes)


def write_tesk(version: int, tensors: Sequence[Tensor] = (), header: Optional[dict] = None,
               codebook=None, align: int = 64, trailing: bytes = b"",
               truncate: Optional[int] = None) -> bytes:
    """The container bytes. `codebook` (28 floats, the block's fixed size)
    defaults to the Gaussian header codebook of the quantiser; a wrong count
    is made with header={"codebook_len": n}. `truncate` cuts the finished
    file to that many bytes."""
    header = dict(header or {})
    cb = header_codebook() if codebook is None else np.asarray(codebook, dtype="<f4")
    if cb.shape != (CODEBOOK_LEN,):
        raise ValueError(f"the codebook block holds exactly {CODEBOOK_LEN} floats")
    head = header_words(version, header, len(tensors)) + cb.astype("<f4").tobytes()
    directory_at = len(head)
    data_at = directory_at + ENTRY_BYTES * len(tensors)

    placed = placements(version, tensors, align)
    # Data of write_data=False entries is left out and does not size the file.
    end = max([data_at] + [off + len(t.data) for t, (off, _) in zip(tensors, placed)
                           if t.write_data])
    out = bytearray(end)
    out[:directory_at] = head
    for i, (t, (off, nb)) in enumerate(zip(tensors, placed)):
        at = directory_at + ENTRY_BYTES * i
        out[at:at + ENTRY_BYTES] = entry_bytes(t, off, nb)
    for t, (off, _) in zip(tensors, placed):
        if t.write_data and t.data:
            out[off:off + len(t.data)] = t.data
    out += trailing
    if truncate is not None:
        out = out[:truncate]
    return bytes(out)


def placements(version: int, tensors: Sequence[Tensor], align: int = 64) -> list:
    """(offset, nbytes) of every entry as write_tesk records it: data after
    the directory in entry order, each start rounded up to `align`."""
    head = (V2_HEADER_WORDS if version == 2 else V3_HEADER_WORDS) * 4 + 4 * CODEBOOK_LEN
    cursor = head + ENTRY_BYTES * len(tensors)
    out = []
    for t in tensors:
        if t.offset is None:
            cursor = -(-cursor // align) * align if align > 1 else cursor
            off = cursor
            cursor += len(t.data)
        else:
            off = t.offset
        out.append((off, len(t.data) if t.nbytes is None else t.nbytes))
    return out


# ------------------------------------------------------------------ reader
# A plain reader of both versions, with the runtime's checks in the runtime's
# order and its error texts, so tests can state what a file should fail with
# and the references can load what the writers produce.

class TeskError(ValueError):
    """A container error; str() is the runtime's display text."""


@dataclass
class Entry:
    dtype: int
    ndim: int
    dims: tuple          # all four stored dims
    offset: int
    nbytes: int
    group: int
    bits: int

    @property
    def shape(self) -> tuple:
        return tuple(self.dims[:min(self.ndim, 4)])


def _hex(v: int) -> str:
    return f"0x{v:08x}"


def _shape_text(dims) -> str:
    four = list(dims)[:4] + [0] * (4 - min(len(dims), 4))
    return "[" + ", ".join(str(int(d)) for d in four) + "]"


@dataclass
class TeskImage:
    version: int
    data: bytes
    header: dict             # named scalar fields (V2_WORDS / V3_WORDS names)
    orders: list
    engram_sites: list
    rope_theta: float
    codebook: np.ndarray     # the 28 header floats
    entries: list            # of Entry, file order

    def _span(self, i: int) -> bytes:
        e = self.entries[i]
        return self.data[e.offset:e.offset + e.nbytes]

    def floats(self, i: int) -> np.ndarray:
        """tensor_floats: the entry's values as float32 (dtype 1 or 2)."""
        e = self.entries[i]
        if e.dtype == DTYPE_F16:
            if e.nbytes % 2:
                raise TeskError(f"tensor {i} has {e.nbytes} bytes, not a whole element count")
            return np.frombuffer(self._span(i), "<f2").astype(np.float32)
        if e.dtype == DTYPE_F32:
            if e.nbytes % 4:
                raise TeskError(f"tensor {i} has {e.nbytes} bytes, not a whole element count")
            return np.frombuffer(self._span(i), "<f4").astype(np.float32)
        raise TeskError(f"tensor {i} has dtype {e.dtype}, want 1")

    def cq(self, i: int) -> CqMatrix:
        """tensor_cq: rows = dims[0], cols = dims[1], with the CqTensor checks."""
        e = self.entries[i]
        if e.dtype != DTYPE_CQ:
            raise TeskError(f"tensor {i} has dtype {e.dtype}, want 3")
        rows, cols, group, bits = e.dims[0], e.dims[1], e.group, e.bits
        if rows == 0 or cols == 0:
            raise TeskError("cq: EmptyShape")
        if group <= 0 or group & (group - 1) or group % 8:
            raise TeskError(f"cq: BadGroup({group})")
        if bits != 5 and bits not in (2, 3, 4):
            raise TeskError(f"cq: UnsupportedBits({bits})")
        padded = -(-cols // group) * group
        per_code = 2 if bits == 5 else bits
        need = rows * (per_code * padded // 8) + 2 * rows * (padded // group)
        if e.nbytes < need:
            raise TeskError(f"cq: ShortBlob {{ need: {need}, got: {e.nbytes} }}")
        return CqMatrix.from_blob(rows, cols, group, bits, self._span(i))

    def raw(self, i: int) -> bytes:
        """tensor_bytes (dtype 4)."""
        e = self.entries[i]
        if e.dtype != DTYPE_BYTES:
            raise TeskError(f"tensor {i} has dtype {e.dtype}, want 4")
        return self._span(i)

    def check_shape(self, i: int, want, label: str) -> None:
        e = self.entries[i]
        want = tuple(int(w) for w in want)
        got4 = list(e.shape) + [0] * (4 - len(e.shape))
        if e.ndim != len(want) or tuple(got4) != tuple(list(want) + [0] * (4 - len(want))):
            raise TeskError(f"tensor {i} ({label}): shape {_shape_text(e.shape)} "
                            f"does not match geometry {_shape_text(want)}")


def read_tesk(data: bytes, version: int = 2) -> TeskImage:
    """Parses a container of `version` with the runtime's checks, in order;
    raises TeskError with the runtime's text on the first failure."""
    data = bytes(data)
    if version == 2:
        magic, n_words, words_of, lists = TESK_MAGIC_V2, V2_HEADER_WORDS, V2_WORDS, V2_LISTS
        rope_word, caps = V2_ROPE_WORD, {"orders": 4, "engram_sites": 4}
    elif version == 3:
        magic, n_words, words_of, lists = TESK_MAGIC_V3, V3_HEADER_WORDS, V3_WORDS, V3_LISTS
        rope_word, caps = V3_ROPE_WORD, {"orders": 4, "engram_sites": 16}
    else:
        raise ValueError(f"unknown container version {version}")
    head_len = 4 * n_words
    if len(data) < head_len:
        raise TeskError(f"tesk truncated: need at least {head_len} bytes, got {len(data)}")
    words = struct.unpack_from(f"<{n_words}I", data)
    if words[0] != magic:
        raise TeskError(f"not a tesk blob: tag {_hex(words[0])}, want {_hex(magic)}")
    h = {name: words[k] for name, k in words_of.items()}
    listed = {}
    for name, (first, _) in lists.items():
        count = h["order_count" if name == "orders" else "site_count"]
        listed[name] = list(words[first:first + min(count, caps[name])])
    if version == 3:
        h["global_layer_mask"] = words[V3_MASK_WORDS[0]] | (words[V3_MASK_WORDS[1]] << 32)
    rope = struct.unpack_from("<f", data, 4 * rope_word)[0]
    if version == 2:
        def bad(label):
            return TeskError(f"header field {label} must be non-zero")
        for name in ("vocab", "d_model", "num_heads", "num_kv_heads", "num_layers",
                     "head_dim", "max_seq_len", "mhc_lanes"):
            if h[name] == 0:
                raise bad(name)
        if h["num_heads"] % h["num_kv_heads"]:
            raise bad("num_heads % num_kv_heads")
        hn = h["hada_n"]
        if hn < h["d_model"] or hn == 0 or hn & (hn - 1):
            raise bad("hada_n")
        if listed["engram_sites"]:
            if not (h["table_rows"] and h["sub_dim"] and h["num_tables"]):
                raise bad("engram geometry")
            if any(s >= h["num_layers"] for s in listed["engram_sites"]):
                raise bad("engram_sites beyond num_layers")
    if h["codebook_len"] != CODEBOOK_LEN:
        raise TeskError(f"header codebook is {h['codebook_len']} floats, want 28 (cb2|cb3|cb4)")
    n = h["tensor_count"]
    need = head_len + 4 * CODEBOOK_LEN + ENTRY_BYTES * n
    if len(data) < need:
        raise TeskError(f"tesk truncated: need at least {need} bytes, got {len(data)}")
    codebook = np.frombuffer(data, "<f4", CODEBOOK_LEN, head_len).astype(np.float32)
    entries = []
    base = head_len + 4 * CODEBOOK_LEN
    for i in range(n):
        at = base + ENTRY_BYTES * i
        dtype, ndim = data[at], data[at + 1]
        dims = struct.unpack_from("<4I", data, at + 4)
        offset, nbytes, group = struct.unpack_from("<QQI", data, at + 20)
        bits = data[at + 40]
        if ndim > 4:
            raise TeskError(f"tensor {i} has ndim {ndim}, want 0..=4")
        end = min(offset + nbytes, (1 << 64) - 1)
        if end > len(data):
            raise TeskError(f"tensor {i} spans {offset}..{offset + nbytes} but the file is "
                            f"{len(data)} bytes")
        entries.append(Entry(dtype, ndim, dims, offset, nbytes, group, bits))
    return TeskImage(version, data, h, listed["orders"], listed["engram_sites"], rope,
                     codebook, entries)


def canon_tensors(entries, values, quant, as_f16, tokenizer_blob):
    """(Tensor list, values as the runtime will read them) for canon entries
    given as (name, kind, shape) triples:
    "cq" entries through the codebook quantiser with their (bits, group) from
    `quant`, "bytes" the tokenizer blob, floats as f32 or, for names in
    `as_f16`, binary16 (rounded values in the result)."""
    from .cq_quantise import dequantise, quantise

    tensors, seen = [], {}
    for name, kind, shape in entries:
        if kind == "bytes":
            tensors.append(bytes_tensor(tokenizer_blob))
            continue
        value = np.asarray(values[name], np.float32).reshape(shape)
        if kind == "cq":
            bits, group = quant[name]
            m = quantise(value, group=group, bits=bits)
            tensors.append(cq_tensor(m))
            seen[name] = np.asarray(dequantise(m), np.float32)
        elif name in as_f16:
            tensors.append(f16_tensor(value.astype(np.float16), shape))
            seen[name] = value.astype(np.float16).astype(np.float32)
        else:
            tensors.append(f32_tensor(value, shape))
            seen[name] = value
    return tensors, seen
