"""The .tesk writer and the codebook quantiser on their own: byte layout
decoded independently with struct, bit packing, the transform, the codebook
and the quantisation error bands."""
import struct

import numpy as np
import pytest

from pinnet_tools import cq_quantise as cq
from pinnet_tools import tesk
from support import tesk_defects


# ---------------------------------------------------------------- writer

def test_v2_header_words_by_name():
    data = tesk.write_tesk(2, header=dict(kv_window=9, reserved=0xABCDEF01, vocab=1000,
                                          d_model=32, num_heads=8, num_kv_heads=2,
                                          num_layers=6, head_dim=4, max_seq_len=512,
                                          hada_n=64, mhc_lanes=3, table_rows=11, sub_dim=12,
                                          num_tables=13, conv_taps=14, tap_spacing=15,
                                          orders=[2, 3, 4], engram_sites=[0, 5],
                                          rope_theta=1234.5))
    words = struct.unpack_from("<30I", data)
    assert words[0] == 0x05E12A83 and data[:4] == bytes([0x83, 0x2A, 0xE1, 0x05])
    assert words[1] == 0 and words[2] == 28
    assert words[3:19] == (9, 0xABCDEF01, 1000, 32, 8, 2, 6, 4, 512, 64, 3, 11, 12, 13, 14, 15)
    assert words[19:24] == (3, 2, 3, 4, 0)
    assert words[24:29] == (2, 0, 5, 0, 0)
    assert struct.unpack_from("<f", data, 116)[0] == 1234.5
    assert len(data) == 232
    cb = np.frombuffer(data, "<f4", 28, 120)
    assert np.array_equal(cb, cq.header_codebook())


def test_v3_header_words_by_name():
    data = tesk.write_tesk(3, header=dict(vocab_size=300, logit_count=299, d_model=64,
                                          num_heads=4, num_kv_heads=2, num_layers=12,
                                          head_dim=16, v_head_dim=24, max_seq_len=2048,
                                          hada_n=256, mhc_lanes=4, kv_window=128,
                                          global_layer_mask=(1 << 63) | 0b101,
                                          qkv_conv_taps=3, table_rows=1024, sub_dim=8,
                                          num_tables=8, conv_taps=4, tap_spacing=2,
                                          hash_stride=31, orders=[2, 3],
                                          engram_sites=list(range(16)), rope_theta=5e5,
                                          reserved3=7, reserved4=8))
    words = struct.unpack_from("<49I", data)
    assert words[0] == 0x05E12A84
    assert words[3:17] == (7, 8, 300, 299, 64, 4, 2, 12, 16, 24, 2048, 256, 4, 128)
    assert words[17] == 0b101 and words[18] == 0x80000000
    assert words[19:26] == (3, 1024, 8, 8, 4, 2, 31)
    assert words[26:31] == (2, 2, 3, 0, 0)
    assert words[31] == 16 and words[32:48] == tuple(range(16))
    assert struct.unpack_from("<f", data, 192)[0] == 5e5
    assert len(data) == 308


def test_counts_can_be_forced():
    data = tesk.write_tesk(2, header=dict(order_count=9, site_count=0, tensor_count=77,
                                          codebook_len=3, engram_sites=[1]))
    words = struct.unpack_from("<30I", data)
    assert words[1] == 77 and words[2] == 3 and words[19] == 9 and words[24] == 0
    assert words[25] == 1  # the list itself is still written


def test_unknown_header_field_is_refused():
    with pytest.raises(KeyError):
        tesk.write_tesk(2, header={"vocab_size": 3})  # a generation-3 name
    with pytest.raises(ValueError):
        tesk.write_tesk(2, codebook=np.zeros(27, np.float32))


def test_directory_entries_and_aligned_data():
    ts = [tesk.f32_tensor(np.arange(3, dtype=np.float32)),
          tesk.bytes_tensor(b"xyz"),
          tesk.Tensor(tesk.DTYPE_CQ, [5, 7, 9], b"\1" * 10, group=64, bits=5)]
    data = tesk.write_tesk(3, ts, align=32)
    assert struct.unpack_from("<I", data, 4)[0] == 3
    base = 308
    expected_offsets = []
    cursor = base + 3 * 44
    for t in ts:
        cursor = -(-cursor // 32) * 32
        expected_offsets.append(cursor)
        cursor += len(t.data)
    assert [o for o, _ in tesk.placements(3, ts, align=32)] == expected_offsets
    for i, t in enumerate(ts):
        dtype, ndim, *dims = struct.unpack_from("<BB2x4I", data, base + 44 * i)
        offset, nbytes, group, bits = struct.unpack_from("<QQIB", data, base + 44 * i + 20)
        assert dtype == t.dtype and ndim == len(t.dims)
        assert dims == list(t.dims) + [0] * (4 - len(t.dims))
        assert offset == expected_offsets[i] and offset % 32 == 0
        assert nbytes == len(t.data) and group == t.group and bits == t.bits
        assert data[offset:offset + nbytes] == t.data
    assert len(data) == expected_offsets[-1] + 10


def test_explicit_offsets_and_lengths():
    t = tesk.Tensor(tesk.DTYPE_F32, [2], b"\0" * 8, offset=(1 << 64) - 8, nbytes=16,
                    write_data=False)
    data = tesk.write_tesk(2, [t])
    assert len(data) == 232 + 44
    assert struct.unpack_from("<QQ", data, 232 + 20) == ((1 << 64) - 8, 16)


def test_defect_generators_make_what_they_say():
    assert len(tesk_defects.defect_short_header(2)) == 119
    assert len(tesk_defects.defect_short_header(3)) == 195
    assert struct.unpack_from("<I", tesk_defects.defect_bad_tag(3))[0] == 0xDEADBEEF
    assert struct.unpack_from("<I", tesk_defects.defect_huge_count(2), 4)[0] == 0xFFFFFFFF
    data = tesk_defects.defect_blob_out_of_range(2, index=2, overshoot=1)
    off, nbytes = struct.unpack_from("<QQ", data, 232 + 2 * 44 + 20)
    assert off + nbytes == len(data) + 1


# ---------------------------------------------------------------- transform

def hadamard_matrix(n):
    i = np.arange(n)
    parity = np.vectorize(lambda v: bin(v).count("1") & 1)(i[:, None] & i[None, :])
    return np.where(parity == 1, -1.0, 1.0) / np.sqrt(n)


@pytest.mark.parametrize("n", [1, 2, 8, 64, 256])
def test_fwht_is_the_natural_order_hadamard(n):
    rng = np.random.default_rng(n)
    x = rng.standard_normal((3, n))
    assert np.allclose(cq.fwht(x), x @ hadamard_matrix(n).T, atol=1e-12)
    assert np.allclose(cq.fwht(cq.fwht(x)), x, atol=1e-12)


def test_fwht_float32_matches_scalar_butterflies():
    rng = np.random.default_rng(1)
    x = rng.standard_normal(16).astype(np.float32)
    y = x.copy()
    h = 1
    while h < 16:
        for i in range(0, 16, 2 * h):
            for j in range(i, i + h):
                a, b = y[j], y[j + h]
                y[j], y[j + h] = a + b, a - b
        h *= 2
    y = y * (np.float32(1) / np.sqrt(np.float32(16)))
    got = cq.fwht(x)
    assert got.dtype == np.float32 and np.array_equal(got, y)
    with pytest.raises(ValueError):
        cq.fwht(np.zeros(6))


# ---------------------------------------------------------------- codebook

@pytest.mark.parametrize("n", [4, 8, 16])
def test_lloyd_max_levels_are_centroids_of_their_cells(n):
    levels = np.array(cq.gaussian_lloyd_max(n))
    assert np.all(np.diff(levels) > 0) and np.allclose(levels, -levels[::-1])
    # Monte Carlo check of the centroid condition, independent of the closed form.
    rng = np.random.default_rng(0)
    x = rng.standard_normal(2_000_000)
    cell = np.searchsorted((levels[1:] + levels[:-1]) / 2, x)
    means = np.bincount(cell, weights=x, minlength=n) / np.bincount(cell, minlength=n)
    assert np.allclose(means, levels, atol=0.02)


def test_header_codebook_slices():
    cb = cq.header_codebook()
    assert cb.shape == (28,) and cb.dtype == np.float32
    assert np.array_equal(cq.levels_for(2, 64), cb[0:4])
    assert np.array_equal(cq.levels_for(3, 64), cb[4:12])
    assert np.array_equal(cq.levels_for(4, 64), cb[12:28])
    assert abs(cb[2] - 0.4528) < 1e-3 and abs(cb[3] - 1.510) < 1e-3  # textbook 4-level values


def test_ternary_levels():
    lv = cq.levels_for(5, 16)
    a = np.float32(np.uint32(0x3F9CAC3E).view(np.float32) / np.float32(4))
    assert lv.tolist() == [0.0, a, 0.0, -a]


# ---------------------------------------------------------------- packing

def test_pack_codes_lsb_first():
    # 3-bit codes 5 (101), 3 (011), 7 (111): bits 1,0,1, 1,1,0, 1,1,1, then 0s.
    codes = np.array([[5, 3, 7, 0, 0, 0, 0, 0]], np.uint8)
    packed = cq.pack_codes(codes, 3)
    assert packed.shape == (1, 3)
    assert packed[0, 0] == 0b11011101 and packed[0, 1] == 0b00000001 and packed[0, 2] == 0
    four = cq.pack_codes(np.array([[0x3, 0xA]], np.uint8), 4)
    assert four.tolist() == [[0xA3]]
    two = cq.pack_codes(np.array([[1, 2, 3, 0]], np.uint8), 2)
    assert two.tolist() == [[0b00111001]]


@pytest.mark.parametrize("bits", [2, 3, 4])
def test_pack_unpack_round_trip(bits):
    rng = np.random.default_rng(bits)
    codes = rng.integers(0, 1 << bits, size=(5, 64), dtype=np.uint8)
    assert np.array_equal(cq.unpack_codes(cq.pack_codes(codes, bits), bits, 64), codes)


# ---------------------------------------------------------------- quantiser

# Relative Frobenius error ||W - deq(Q(W))|| / ||W|| on Gaussian weights. The
# Lloyd-Max distortions of a unit Gaussian are 0.1175 (4 levels), 0.03455
# (8), 0.00950 (16) and 0.190 for the best ternary, i.e. relative errors of
# 0.343, 0.186, 0.0975 and 0.436; per-group scales do slightly better.
ERROR_BANDS = {2: 0.35, 3: 0.19, 4: 0.10, 5: 0.44}


@pytest.mark.parametrize("bits", [2, 3, 4, 5])
@pytest.mark.parametrize("group", [16, 64])
def test_quantisation_error_band(bits, group):
    rng = np.random.default_rng(bits * 100 + group)
    w = (rng.standard_normal((64, 200)) * 0.05).astype(np.float32)
    m = cq.quantise(w, group=group, bits=bits)
    assert m.padded_cols == -(-200 // group) * group
    deq = cq.dequantise(m)
    assert deq.shape == w.shape and deq.dtype == np.float32
    rel = np.linalg.norm(deq - w) / np.linalg.norm(w)
    assert rel < ERROR_BANDS[bits], rel
    # More bits never does worse on the same weights.
    if bits in (2, 3):
        finer = cq.dequantise(cq.quantise(w, group=group, bits=bits + 1))
        assert np.linalg.norm(finer - w) < np.linalg.norm(deq - w)


def test_quantiser_beats_the_plain_rms_scale():
    rng = np.random.default_rng(5)
    w = rng.standard_normal((32, 128)).astype(np.float32)
    fitted = cq.dequantise(cq.quantise(w, 64, 3))
    plain = cq.dequantise(cq.quantise(w, 64, 3, iterations=0))
    assert np.linalg.norm(fitted - w) <= np.linalg.norm(plain - w)


def test_quantise_exact_levels_round_trip():
    # Weights whose rotated groups are exactly scale * level reproduce exactly.
    rng = np.random.default_rng(2)
    lv = cq.levels_for(4, 16)
    codes = rng.integers(0, 16, size=(4, 16))
    scale = np.float32(0.5)
    w = cq.fwht((lv[codes] * scale).astype(np.float64))
    m = cq.quantise(w.astype(np.float32), group=16, bits=4)
    assert np.array_equal(cq.unpack_codes(m.codes, 4, 16), codes)
    assert np.allclose(cq.dequantise(m), w, atol=1e-6)


def test_zero_rows_and_padding_columns():
    w = np.zeros((3, 10), np.float32)
    w[1, :] = 1.0
    m = cq.quantise(w, group=8, bits=4)
    assert m.scales.shape == (3, 2) and m.codes.shape == (3, 8)
    assert np.all(m.scales[0] == 0) and np.all(np.isfinite(m.scales.astype(np.float32)))
    assert np.allclose(cq.dequantise(m)[0], 0.0)


def test_blob_layout_and_from_blob():
    rng = np.random.default_rng(3)
    m = cq.quantise(rng.standard_normal((6, 40)).astype(np.float32), group=16, bits=3)
    blob = m.blob()
    assert m.row_bytes == 3 * 48 // 8 and m.groups_per_row == 3
    assert len(blob) == 6 * m.row_bytes + 2 * 6 * 3
    assert np.array_equal(np.frombuffer(blob, "<f2", 18, 6 * m.row_bytes),
                          m.scales.reshape(-1))
    back = cq.CqMatrix.from_blob(6, 40, 16, 3, blob)
    assert np.array_equal(back.codes, m.codes) and np.array_equal(back.scales, m.scales)


def test_bad_group_is_refused():
    for group in (0, 4, 24, 12):
        with pytest.raises(ValueError):
            cq.quantise(np.ones((2, 8), np.float32), group=group, bits=4)
