"""Malformed `.tesk` containers, one generator per defect kind. Each returns
the file bytes; the reader's verdict is for the tests to state."""
import numpy as np

from pinnet_tools.cq_quantise import quantise
from pinnet_tools.tesk import (DTYPE_F16, Tensor, bytes_tensor, cq_tensor, f16_tensor,
                               f32_tensor, placements, write_tesk)


def sample_tensors() -> list:
    """A few small valid tensors of every dtype (F32, F16, CQ, bytes)."""
    rng = np.random.default_rng(7)
    return [
        f32_tensor(rng.standard_normal(16).astype(np.float32)),
        f16_tensor(rng.standard_normal((2, 4)).astype(np.float16)),
        cq_tensor(quantise(rng.standard_normal((4, 24)).astype(np.float32), group=16, bits=4)),
        bytes_tensor(b"tokenizer blob stand-in"),
    ]


def defect_short_header(version: int) -> bytes:
    """One byte short of the fixed header."""
    return write_tesk(version, truncate=(119 if version == 2 else 195))


def defect_empty(version: int) -> bytes:
    return b""


def defect_bad_tag(version: int, tag: int = 0xDEADBEEF) -> bytes:
    return write_tesk(version, sample_tensors(), header={"tag": tag})


def defect_other_version(version: int) -> bytes:
    """A valid file of the other version."""
    return write_tesk(5 - version, sample_tensors())


def defect_zero_field(version: int, name: str) -> bytes:
    """A generation-2 geometry field set to 0."""
    return write_tesk(version, sample_tensors(), header={name: 0})


def defect_heads_not_divisible(version: int) -> bytes:
    return write_tesk(version, header={"num_heads": 3, "num_kv_heads": 2})


def defect_hada_n(version: int, hada_n: int) -> bytes:
    return write_tesk(version, header={"hada_n": hada_n})


def defect_engram_geometry(version: int, name: str) -> bytes:
    """Engram sites present but one table dimension 0."""
    return write_tesk(version, header={"engram_sites": [0], name: 0})


def defect_site_beyond_layers(version: int) -> bytes:
    return write_tesk(version, header={"num_layers": 2, "engram_sites": [1, 2]})


def defect_codebook_len(version: int, count: int = 27) -> bytes:
    return write_tesk(version, sample_tensors(), header={"codebook_len": count})


def defect_directory_past_end(version: int, count: int = 3) -> bytes:
    """The header claims `count` entries; the file ends before they do."""
    return write_tesk(version, header={"tensor_count": count})


def defect_huge_count(version: int) -> bytes:
    """A tensor count of 0xFFFFFFFF with nothing behind the codebook."""
    return write_tesk(version, header={"tensor_count": 0xFFFFFFFF})


def defect_bad_ndim(version: int, ndim: int = 5, also_out_of_range: bool = False) -> bytes:
    ts = sample_tensors()
    ts[1].ndim = ndim
    if also_out_of_range:
        ts[1].offset, ts[1].write_data = 1 << 40, False
    return write_tesk(version, ts)


def defect_blob_out_of_range(version: int, index: int = 2, overshoot: int = 1) -> bytes:
    """Entry `index` claims `overshoot` bytes more than the file holds."""
    ts = sample_tensors()
    size = len(write_tesk(version, ts))
    off = placements(version, ts)[index][0]
    ts[index].nbytes = size - off + overshoot
    return write_tesk(version, ts)


def defect_offset_overflow(version: int) -> bytes:
    """offset + nbytes wraps 64 bits to a small number."""
    ts = sample_tensors()
    ts[0].offset, ts[0].nbytes, ts[0].write_data = (1 << 64) - 8, 16, False
    return write_tesk(version, ts)


def defect_wrong_dtype(version: int, dtype: int = 9) -> bytes:
    """An entry with an unknown dtype code: parses, every accessor refuses it."""
    ts = sample_tensors()
    ts[0].dtype = dtype
    return write_tesk(version, ts)


def defect_ragged(version: int, dtype: int = DTYPE_F16, nbytes: int = 7) -> bytes:
    t = Tensor(dtype, [nbytes], bytes(range(nbytes)))
    return write_tesk(version, [t])


def defect_cq_short_blob(version: int, missing: int = 1) -> bytes:
    ts = sample_tensors()
    ts[2].data = ts[2].data[:-missing]
    return write_tesk(version, ts)


def defect_cq_group(version: int, group: int = 24) -> bytes:
    ts = sample_tensors()
    ts[2].group = group
    return write_tesk(version, ts)


def defect_cq_bits(version: int, bits: int = 6) -> bytes:
    ts = sample_tensors()
    ts[2].bits = bits
    return write_tesk(version, ts)


def defect_cq_empty_shape(version: int) -> bytes:
    ts = sample_tensors()
    ts[2].dims = [0, ts[2].dims[1]]
    return write_tesk(version, ts)
