"""The C++ .tesk reader on files made by the Python writer: valid files of
both versions read back field for field, one malformed file per defect kind
with the reader's exact verdict, half-precision widening against NumPy and
the quantiser round trip through the reader's codebook tensors.

The reader is driven through the test-only tesk_cli program of the test
build (support.programs)."""
import json
import os
import subprocess

import numpy as np
import pytest

from pinnet_tools import cq_quantise as cq
from pinnet_tools import tesk
from support import programs, tesk_defects

CLI = str(programs.program("tesk_cli"))


@pytest.fixture
def read(tmp_path):
    """read(version, data, *accessor args) -> the CLI's JSON verdict."""
    counter = [0]

    def run(version, data, *args):
        counter[0] += 1
        path = tmp_path / f"f{counter[0]}.tesk"
        path.write_bytes(data)
        out = subprocess.run([CLI, str(version), str(path), *map(str, args)],
                             capture_output=True, text=True, check=True)
        return json.loads(out.stdout)

    return run


def as_f32(bits):
    return np.array(bits, dtype=np.uint32).view(np.float32)


# ---------------------------------------------------------------- valid files

def test_v2_file_reads_back(read):
    ts = tesk_defects.sample_tensors()
    header = dict(kv_window=64, reserved=5, vocab=99, d_model=32, num_heads=4, num_kv_heads=2,
                  num_layers=3, head_dim=8, max_seq_len=256, hada_n=32, mhc_lanes=4,
                  table_rows=16, sub_dim=8, num_tables=3, conv_taps=2, tap_spacing=3,
                  orders=[2, 3, 5], engram_sites=[0, 2], rope_theta=1e6)
    got = read(2, tesk.write_tesk(2, ts, header=header), "--floats", 0, "--floats", 1,
               "--bytes", 3, "--shape", 1, "x", 2, 4, "--shape", 1, "x", 4, 2)
    assert got["version"] == 2
    h = got["header"]
    for name, value in header.items():
        if name == "rope_theta":
            assert as_f32([h["rope_theta_bits"]])[0] == np.float32(value)
        else:
            assert h[name] == value, name
    assert h["tensor_count"] == 4 and h["codebook_len"] == 28
    assert np.array_equal(as_f32(got["codebook"]), cq.header_codebook())
    for entry, t, (off, nbytes) in zip(got["tensors"], ts, tesk.placements(2, ts)):
        assert entry["dtype"] == t.dtype and entry["ndim"] == len(t.dims)
        assert entry["dims"][:len(t.dims)] == list(t.dims)
        assert (entry["offset"], entry["nbytes"]) == (off, nbytes)
        assert (entry["group"], entry["bits"]) == (t.group, t.bits)
    f32, f16, raw, ok, bad = got["accessors"]
    assert np.array_equal(as_f32(f32["bits"]), np.frombuffer(ts[0].data, "<f4"))
    assert np.array_equal(as_f32(f16["bits"]),
                          np.frombuffer(ts[1].data, "<f2").astype(np.float32))
    assert bytes.fromhex(raw["hex"]) == ts[3].data and raw["offset"] == tesk.placements(2, ts)[3][0]
    assert ok["ok"] is True
    assert bad["error"] == "tensor 1 (x): shape [2, 4, 0, 0] does not match geometry [4, 2, 0, 0]"


def test_v3_file_reads_back(read):
    header = dict(vocab_size=300, logit_count=299, d_model=64, num_heads=4, num_kv_heads=2,
                  num_layers=20, head_dim=16, v_head_dim=24, max_seq_len=2048, hada_n=256,
                  mhc_lanes=4, kv_window=128, global_layer_mask=(1 << 63) | 0b1001,
                  qkv_conv_taps=3, table_rows=1024, sub_dim=8, num_tables=8, conv_taps=4,
                  tap_spacing=2, hash_stride=31, orders=[2, 3, 4, 5],
                  engram_sites=list(range(0, 20, 2)), rope_theta=5e5, reserved3=1, reserved4=2)
    got = read(3, tesk.write_tesk(3, tesk_defects.sample_tensors(), header=header, align=1))
    h = got["header"]
    for name, value in header.items():
        if name != "rope_theta":
            assert h[name] == value, name
    assert got["tensors"][0]["offset"] == 308 + 4 * 44  # align=1 packs data right after


def test_clamped_lists_ignore_the_surplus(read):
    data = tesk.write_tesk(3, header=dict(orders=[7, 8, 9, 10], order_count=1000,
                                          engram_sites=list(range(16)), site_count=3))
    h = read(3, data)["header"]
    assert h["orders"] == [7, 8, 9, 10] and h["engram_sites"] == [0, 1, 2]
    data = tesk.write_tesk(2, header=dict(orders=[2], order_count=6, engram_sites=[], site_count=0))
    h = read(2, data)["header"]
    assert h["orders"] == [2, 0, 0, 0] and h["engram_sites"] == []


def test_every_dtype_through_every_accessor(read):
    ts = tesk_defects.sample_tensors()
    args = []
    for i in range(len(ts)):
        args += ["--floats", i, "--cq", i, "--bytes", i]
    got = read(3, tesk.write_tesk(3, ts), *args)
    verdicts = {(a["op"], a["index"]): a.get("error") for a in got["accessors"]}
    for i, t in enumerate(ts):
        for op, want in (("floats", 1), ("cq", 3), ("bytes", 4)):
            accepted = t.dtype in (1, 2) if op == "floats" else t.dtype == want
            if accepted:
                assert verdicts[(op, i)] is None
            else:
                assert verdicts[(op, i)] == f"tensor {i} has dtype {t.dtype}, want {want}"


# ---------------------------------------------------------------- defects

@pytest.mark.parametrize("version", [2, 3])
def test_truncated_header(read, version):
    need = 120 if version == 2 else 196
    got = read(version, tesk_defects.defect_short_header(version))
    assert got == {"error": f"tesk truncated: need at least {need} bytes, got {need - 1}",
                   "file_error": False}
    assert read(version, tesk_defects.defect_empty(version))["error"] == \
        f"tesk truncated: need at least {need} bytes, got 0"


@pytest.mark.parametrize("version", [2, 3])
def test_wrong_magic(read, version):
    want = "0x05e12a83" if version == 2 else "0x05e12a84"
    assert read(version, tesk_defects.defect_bad_tag(version))["error"] == \
        f"not a tesk blob: tag 0xdeadbeef, want {want}"
    other = "0x05e12a84" if version == 2 else "0x05e12a83"
    assert read(version, tesk_defects.defect_other_version(version))["error"] == \
        f"not a tesk blob: tag {other}, want {want}"


@pytest.mark.parametrize("name", ["vocab", "d_model", "num_heads", "num_kv_heads", "num_layers",
                                  "head_dim", "max_seq_len", "mhc_lanes"])
def test_v2_zero_geometry_field(read, name):
    assert read(2, tesk_defects.defect_zero_field(2, name))["error"] == \
        f"header field {name} must be non-zero"


def test_v3_zero_geometry_fields_pass_the_container(read):
    assert "error" not in read(3, tesk_defects.defect_zero_field(3, "d_model"))


def test_v2_geometry_relations(read):
    assert read(2, tesk_defects.defect_heads_not_divisible(2))["error"] == \
        "header field num_heads % num_kv_heads must be non-zero"
    for hada_n in (0, 8, 24):
        assert read(2, tesk_defects.defect_hada_n(2, hada_n))["error"] == \
            "header field hada_n must be non-zero"
    assert "error" not in read(2, tesk_defects.defect_hada_n(2, 16))  # == d_model, a power of two
    for name in ("table_rows", "sub_dim", "num_tables"):
        assert read(2, tesk_defects.defect_engram_geometry(2, name))["error"] == \
            "header field engram geometry must be non-zero"
    assert read(2, tesk_defects.defect_site_beyond_layers(2))["error"] == \
        "header field engram_sites beyond num_layers must be non-zero"


@pytest.mark.parametrize("version", [2, 3])
def test_bad_codebook_length(read, version):
    assert read(version, tesk_defects.defect_codebook_len(version, 27))["error"] == \
        "header codebook is 27 floats, want 28 (cb2|cb3|cb4)"
    assert read(version, tesk_defects.defect_codebook_len(version, 0))["error"] == \
        "header codebook is 0 floats, want 28 (cb2|cb3|cb4)"


@pytest.mark.parametrize("version", [2, 3])
def test_directory_past_the_end(read, version):
    base = 232 if version == 2 else 308
    assert read(version, tesk_defects.defect_directory_past_end(version, 3))["error"] == \
        f"tesk truncated: need at least {base + 3 * 44} bytes, got {base}"
    assert read(version, tesk_defects.defect_huge_count(version))["error"] == \
        f"tesk truncated: need at least {base + 44 * 0xFFFFFFFF} bytes, got {base}"


@pytest.mark.parametrize("version", [2, 3])
def test_bad_ndim_wins_over_range(read, version):
    assert read(version, tesk_defects.defect_bad_ndim(version, 5))["error"] == \
        "tensor 1 has ndim 5, want 0..=4"
    data = tesk_defects.defect_bad_ndim(version, 9, also_out_of_range=True)
    assert read(version, data)["error"] == "tensor 1 has ndim 9, want 0..=4"


@pytest.mark.parametrize("version", [2, 3])
def test_tensor_bytes_out_of_range(read, version):
    data = tesk_defects.defect_blob_out_of_range(version, index=2, overshoot=1)
    off, nbytes = tesk.placements(version, tesk_defects.sample_tensors())[2][0], None
    got = read(version, data)["error"]
    nbytes = len(data) - off + 1
    assert got == f"tensor 2 spans {off}..{off + nbytes} but the file is {len(data)} bytes"
    # One byte less is exactly the end of the file, which is allowed.
    exact = tesk_defects.defect_blob_out_of_range(version, 2, overshoot=0)
    assert "error" not in read(version, exact)


@pytest.mark.parametrize("version", [2, 3])
def test_overflowing_offset(read, version):
    data = tesk_defects.defect_offset_overflow(version)
    start = (1 << 64) - 8
    assert read(version, data)["error"] == \
        f"tensor 0 spans {start}..{start + 16} but the file is {len(data)} bytes"


@pytest.mark.parametrize("version", [2, 3])
def test_unknown_dtype_is_refused_by_every_accessor(read, version):
    got = read(version, tesk_defects.defect_wrong_dtype(version, 9),
               "--floats", 0, "--cq", 0, "--bytes", 0)
    assert [a["error"] for a in got["accessors"]] == [
        "tensor 0 has dtype 9, want 1", "tensor 0 has dtype 9, want 3",
        "tensor 0 has dtype 9, want 4"]


def test_ragged_float_tensors(read):
    got = read(2, tesk_defects.defect_ragged(2, tesk.DTYPE_F16, 7), "--floats", 0)
    assert got["accessors"][0]["error"] == "tensor 0 has 7 bytes, not a whole element count"
    got = read(3, tesk_defects.defect_ragged(3, tesk.DTYPE_F32, 10), "--floats", 0)
    assert got["accessors"][0]["error"] == "tensor 0 has 10 bytes, not a whole element count"


@pytest.mark.parametrize("version", [2, 3])
def test_codebook_tensor_defects(read, version):
    # sample tensor 2: 4 x 24, group 16, 4-bit -> 4*16 code bytes + 4*2*2 scale bytes = 80.
    cases = [(tesk_defects.defect_cq_short_blob(version, 1), "cq: ShortBlob { need: 80, got: 79 }"),
             (tesk_defects.defect_cq_group(version, 24), "cq: BadGroup(24)"),
             (tesk_defects.defect_cq_group(version, 4), "cq: BadGroup(4)"),
             (tesk_defects.defect_cq_bits(version, 6), "cq: UnsupportedBits(6)"),
             (tesk_defects.defect_cq_empty_shape(version), "cq: EmptyShape")]
    for data, want in cases:
        assert read(version, data, "--cq", 2)["accessors"][0]["error"] == want


def test_unreadable_file(tmp_path):
    out = subprocess.run([CLI, "2", str(tmp_path / "absent.tesk")], capture_output=True,
                         text=True, check=True)
    got = json.loads(out.stdout)
    assert got == {"error": os.strerror(2), "file_error": True}


# ---------------------------------------------------------------- half widening

def test_half_widening_matches_numpy_for_every_value(read):
    halves = np.arange(65536, dtype=np.uint32).astype(np.uint16)
    got = read(2, tesk.write_tesk(2, [tesk.f16_bits_tensor(halves)]), "--floats", 0)
    bits = np.array(got["accessors"][0]["bits"], dtype=np.uint32)
    want = halves.view(np.float16).astype(np.float32).view(np.uint32)
    assert np.array_equal(bits, want)  # NaN payloads included


# ---------------------------------------------------------------- quantiser round trip

# Bands for the relative Frobenius error of the engine's dequantised rows
# against the float weights (see test_tesk_writer.ERROR_BANDS).
ROUND_TRIP_BANDS = {2: 0.35, 3: 0.19, 4: 0.10, 5: 0.44}


@pytest.mark.parametrize("bits", [2, 3, 4, 5])
@pytest.mark.parametrize("shape,group", [((24, 100), 32), ((8, 64), 64), ((5, 40), 8)])
def test_quantiser_round_trip_through_the_reader(read, bits, shape, group):
    rng = np.random.default_rng(bits * 1000 + shape[1] + group)
    w = (rng.standard_normal(shape) * 0.1).astype(np.float32)
    m = cq.quantise(w, group=group, bits=bits)
    data = tesk.write_tesk(3 if bits % 2 else 2, [tesk.f32_tensor([0.0]), tesk.cq_tensor(m)])
    got = read(3 if bits % 2 else 2, data, "--cq", 1)["accessors"][0]
    assert (got["rows"], got["cols"], got["group"], got["bits_code"]) == (*shape, group, bits)
    assert got["padded_cols"] == m.padded_cols
    engine = as_f32(got["bits"]).reshape(shape)
    reference = cq.dequantise(m)
    # The engine and the NumPy dequantiser do the same float32 operations.
    assert np.max(np.abs(engine - reference)) <= 1e-6 * np.max(np.abs(reference))
    rel = np.linalg.norm(engine - w) / np.linalg.norm(w)
    assert rel < ROUND_TRIP_BANDS[bits], rel
