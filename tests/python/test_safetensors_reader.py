"""The C++ safetensors reader on files written by the safetensors package:
tensor table, metadata and values read back equal to what the library's own
readers give, for F32, F16 (every binary16 pattern), I8 and BF16 (written
through the library's raw serializer, as its NumPy front end has no
bfloat16). Malformed files are refused by both.

Where the reader differs from the library by design: metadata texts and
tensor names keep their JSON escapes as written (the header is scanned, not
decoded), and offsets are checked when a tensor is read rather than when the
file is parsed, so a file cut inside its data still loads and only the
tensors past the cut are refused. Only the five dtypes F32, BF16, F16, I8
and I4 are known; others the library accepts (such as U8) are refused.

The reader is driven through the test-only st_cli program of the test build
(support.programs)."""
import json
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest

safetensors = pytest.importorskip("safetensors")
from safetensors import safe_open  # noqa: E402
from safetensors.numpy import load_file, save_file  # noqa: E402
from support import programs  # noqa: E402

CLI = str(programs.program("st_cli"))


def read(path):
    out = subprocess.run([CLI, str(path)], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def header_of(path):
    data = Path(path).read_bytes()
    (n,) = struct.unpack("<Q", data[:8])
    return json.loads(data[8:8 + n])


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float32).reshape(-1).view(np.uint32).tolist()


def test_numpy_files_read_back(tmp_path):
    rng = np.random.default_rng(7)
    tensors = {
        "enc.w": rng.standard_normal((3, 5)).astype(np.float32),
        "halves": np.arange(1 << 16, dtype=np.uint16).view(np.float16).reshape(256, 256),
        "dec.q": rng.integers(-128, 128, (4, 7), dtype=np.int8),
        "scalar": np.array(2.5, dtype=np.float32),
        "none": np.zeros((0, 3), dtype=np.float32),
    }
    metadata = {"d_model": "64", "name": "ünïcode name", "empty": "", "quoted": 'say "hi" \\ bye'}
    path = tmp_path / "m.safetensors"
    save_file(tensors, path, metadata=metadata)

    got = read(path)
    lib = load_file(path)
    header = header_of(path)
    with safe_open(path, framework="numpy") as f:
        lib_metadata = f.metadata()
        assert sorted(got["tensors"]) == sorted(f.keys())
    for name, t in got["tensors"].items():
        assert t["dtype"] == header[name]["dtype"], name
        assert t["shape"] == list(lib[name].shape), name
        assert t["offsets"] == header[name]["data_offsets"], name
        assert t["bytes"] == lib[name].nbytes, name
        assert t["f32"] == bits(lib[name].astype(np.float32)), name
    # Texts without escapes read back as the library's; escapes stay as written.
    assert got["metadata"] == {k: json.dumps(v, ensure_ascii=False)[1:-1] for k, v in lib_metadata.items()}
    assert got["metadata"]["name"] == metadata["name"]


def test_bf16_written_by_the_library(tmp_path):
    rng = np.random.default_rng(3)
    wide = np.concatenate([rng.standard_normal(37).astype(np.float32),
                           np.array([0.0, -0.0, np.inf, -np.inf, 1e-40], dtype=np.float32)])
    high = (wide.view(np.uint32) >> 16).astype(np.uint16)
    spec = safetensors.TensorSpec(dtype="bfloat16", shape=[high.size], data_ptr=high.ctypes.data,
                                  data_len=high.nbytes)
    path = tmp_path / "bf16.safetensors"
    safetensors.serialize_file({"w": spec}, str(path), metadata={"dtype": "bf16"})

    got = read(path)
    ((name, lib),) = safetensors.deserialize(path.read_bytes())
    t = got["tensors"][name]
    assert (t["dtype"], t["shape"], t["bytes"]) == (lib["dtype"], lib["shape"], len(lib["data"]))
    # bfloat16 is the upper half of a float32: the truncated floats exactly.
    truncated = (high.astype(np.uint32) << 16).view(np.float32)
    assert t["f32"] == bits(truncated)
    assert np.frombuffer(bytes(lib["data"]), dtype=np.uint16).tolist() == high.tolist()
    assert got["metadata"] == {"dtype": "bf16"}


def test_file_cut_inside_its_data(tmp_path):
    path = tmp_path / "cut.safetensors"
    save_file({"a": np.ones(4, np.float32), "b": np.full(4, 2, np.float32)}, path)
    data = path.read_bytes()
    path.write_bytes(data[:-4])
    with pytest.raises(Exception):
        load_file(path)
    got = read(path)["tensors"]
    first, last = sorted(got, key=lambda n: got[n]["offsets"])
    assert got[first]["f32"] == bits(np.ones(4) if first == "a" else np.full(4, 2))
    assert got[last]["bytes"] is None and got[last]["f32"] is None


def with_header(header, data_bytes):
    return struct.pack("<Q", len(header)) + header + bytes(data_bytes)


@pytest.mark.parametrize("data, message", [
    (b"\x00" * 7, "buffer too short"),
    (struct.pack("<Q", 1 << 62) + b"{}", "truncated header"),
    (struct.pack("<Q", 3) + b"[1]", "expected JSON object"),
    (struct.pack("<Q", 3) + b"{\xff}", "invalid UTF-8 header"),
    (with_header(b'{"t":{"dtype":"Q7","shape":[1],"data_offsets":[0,1]}}', 1), "unknown dtype Q7"),
    (with_header(b'{"t":{"dtype":"F32","shape":[1],"data_offsets":[0,4,8]}}', 8),
     "data_offsets must have 2 elements"),
    (with_header(b'{"t":{"dtype":"F32","shape":[2,,3],"data_offsets":[0,4]}}', 4),
     "missing shape for t"),
])
def test_malformed_files_are_refused_by_both(tmp_path, data, message):
    path = tmp_path / "bad.safetensors"
    path.write_bytes(data)
    with pytest.raises(Exception):
        load_file(path)
    assert read(path) == {"error": message}


def test_missing_file_gives_the_system_text(tmp_path):
    assert read(tmp_path / "absent.safetensors") == {"error": "No such file or directory"}
