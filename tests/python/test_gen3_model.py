"""The C++ generation-3 model against the NumPy reference
(support.gen3_reference) on random geometries, and its load errors on
malformed containers. The model is driven through the test-only program
gen3_cli (tests/cpp/models/gen3/gen3_cli.cc) of the test build
(support.programs)."""

import json
import subprocess

import numpy as np
import pytest

from pinnet_tools import gen3
from pinnet_tools.cq_quantise import quantise
from pinnet_tools.tesk import bytes_tensor, cq_tensor, f32_tensor, write_tesk
from support import gen3_reference as R
from support import programs

CLI = programs.program("gen3_cli")

F32 = np.float32
# Relative to the largest reference logit (at least 1): the engine multiplies
# in the rotated domain and sums in another order than NumPy.
REL = 1e-5
# int8 sessions round q, k and v to codes; a value on a rounding edge may land
# on the neighbouring code in one of the two implementations.
REL_INT8 = 1e-4


def cli(*args, expect_error=False):
    out = subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=300)
    if expect_error:
        assert out.returncode == 2, (out.stdout, out.stderr)
        return json.loads(out.stdout)["error"]
    assert out.returncode == 0, (out.stdout, out.stderr)
    return json.loads(out.stdout)


def rows(path, ids, *opts):
    return np.array(cli("run", path, "--ids", ",".join(map(str, ids)), *opts)["rows"], np.float64)


def rel_err(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    assert a.shape == b.shape, (a.shape, b.shape)
    return float(np.max(np.abs(a - b))) / max(1.0, float(np.max(np.abs(b))))


@pytest.fixture(scope="module")
def blob():
    return gen3.tokenizer_blob_for(512)


def _geometries():
    tiny = gen3.tiny_gen3()
    return {
        # windowed and global blocks, q/k/v convolution, orders 2 and 3,
        # spaced engram taps, GQA, 2 lanes, 3 mixture entries
        "tiny": tiny,
        # no convolution, no window, order 1, explicit hash stride, logits cut
        "plain": tiny.replace(qkv_conv_taps=0, kv_window=0, global_layers=[], conv_taps=1,
                              orders=[1, 2], hash_stride=5, logit_count=300, num_experts=1),
        "one-lane": tiny.replace(mhc_lanes=1, qkv_conv_taps=1, orders=[3], num_tables=2, sub_dim=0,
                                 engram_sites=[1, 1, 3], kv_window=3, global_layers=[]),
        "three-lanes": tiny.replace(mhc_lanes=3, num_kv_heads=4, hada_n=64, num_experts=5,
                                    engram_sites=[], conv_taps=2, tap_spacing=3),
        "four-lanes": tiny.replace(mhc_lanes=4, num_kv_heads=1, orders=[1, 2, 3, 4],
                                   num_tables=8, sub_dim=0, conv_taps=4, tap_spacing=1, hash_stride=2,
                                   engram_sites=[3], kv_window=2, global_layers=[0, 3]),
    }


GEOMETRIES = _geometries()


@pytest.fixture(scope="module")
def models(blob, tmp_path_factory):
    """name -> (path, reference model of the dequantised weights)."""
    root = tmp_path_factory.mktemp("gen3")
    out = {}
    for i, (name, geom) in enumerate(GEOMETRIES.items()):
        m = gen3.random_model(geom, seed=20 + i, bits="mixed", groups="mixed",
                              head=gen3.HeadSpec(code=3 if i % 2 else 1, probes=2, second=2,
                                                 outputs=2))
        path = root / f"{name}.tesk"
        gen3.write_gen3(path, m, blob, f16=gen3.every_other_float(m) if i % 2 else ())
        out[name] = (str(path), m.dequantised)
    return out


def _ids(geom, n, seed):
    rng = np.random.default_rng(seed)
    ids = [int(x) for x in rng.integers(0, geom.vocab_size, n)]
    ids[n // 2] = geom.vocab_size + 17  # beyond the table: reads the last row
    return ids


@pytest.mark.parametrize("name", list(GEOMETRIES))
def test_cacheless_prefill_matches_reference(models, name):
    path, model = models[name]
    ids = _ids(model.geom, 13, 1)
    want = R.Reference(model).prefill(ids)
    got = rows(path, ids, "--no-cache")
    assert got.shape == (13, model.geom.logit_width)
    assert rel_err(got, want) < REL


@pytest.mark.parametrize("name", list(GEOMETRIES))
@pytest.mark.parametrize("int8", [False, True])
def test_prefill_then_steps_match_reference(models, name, int8):
    path, model = models[name]
    ids = _ids(model.geom, 14, 2)
    ref = R.Reference(model)
    cache = ref.new_cache(1, int8)  # R = 1: every layer grows while stepping
    want = [ref.prefill(ids[:6], cache)] + [ref.step(cache, t)[None] for t in ids[6:]]
    opts = ["--prefill", 6, "--all", "--cache", 1] + (["--int8"] if int8 else [])
    got = rows(path, ids, *opts)
    assert rel_err(got, np.vstack(want)) < (REL_INT8 if int8 else REL)


@pytest.mark.parametrize("int8", [False, True])
def test_prefill_equals_stepping_from_empty(models, int8):
    path, model = models["tiny"]
    ids = _ids(model.geom, 16, 3)
    opt = ["--int8"] if int8 else []
    pre = rows(path, ids, "--prefill", 7, "--all", *opt)
    stepped = rows(path, ids, "--prefill", 0, *opt)
    one = rows(path, ids, "--prefill", 1, *opt)  # one-token prefill, then steps
    assert rel_err(pre, stepped) < REL
    assert rel_err(one, stepped) < REL


@pytest.mark.parametrize("depth", [2, 3, 4])
@pytest.mark.parametrize("int8", [False, True])
def test_rungs_match_cut_reference(models, depth, int8):
    path, model = models["tiny"]
    ids = _ids(model.geom, 10, 4)
    ref = R.Reference(R.apply_rung(model, depth))
    cache = ref.new_cache(len(ids), int8)
    want = [ref.prefill(ids[:4], cache)] + [ref.step(cache, t)[None] for t in ids[4:]]
    opts = ["--depth", depth, "--prefill", 4, "--all"] + (["--int8"] if int8 else [])
    assert rel_err(rows(path, ids, *opts), np.vstack(want)) < (REL_INT8 if int8 else REL)


@pytest.fixture(scope="module")
def small(blob, tmp_path_factory):
    m = gen3.random_model(gen3.small_gen3(), seed=5, bits="mixed", groups="mixed",
                          head=gen3.HeadSpec(code=1, probes=3, second=2, outputs=1))
    path = tmp_path_factory.mktemp("small") / "small.tesk"
    gen3.write_gen3(path, m, blob)
    return str(path), m.dequantised


@pytest.mark.parametrize("depth", [2, 4, 6, 9, 12])
def test_twelve_block_ladder(small, depth):
    path, model = small
    cut = R.apply_rung(model, depth)
    info = cli("load", path, "--depth", depth)
    assert info["num_layers"] == depth
    assert info["global_layers"] == cut.geom.global_layers
    assert info["engram_sites"] == cut.geom.engram_sites
    ids = _ids(model.geom, 20, 5)  # longer than the window of 16
    ref = R.Reference(cut)
    cache = ref.new_cache(len(ids))
    want = [ref.prefill(ids[:18], cache)] + [ref.step(cache, t)[None] for t in ids[18:]]
    assert rel_err(rows(path, ids, "--depth", depth, "--prefill", 18, "--all"),
                   np.vstack(want)) < REL
    got = cli("confidence", path, "--depth", depth, "--ids", ",".join(map(str, ids)))
    want_logit, want_p = ref.confidence(ids)
    assert abs(got["logit"] - want_logit) < 1e-3 * max(1.0, abs(want_logit))
    assert abs(got["probability"] - want_p) < 1e-4


@pytest.mark.parametrize("name", list(GEOMETRIES))
def test_confidence_matches_reference(models, name):
    path, model = models[name]
    ref = R.Reference(model)
    for n in (1, 9):
        ids = [2] + _ids(model.geom, n, 6)[: n - 1]
        got = cli("confidence", path, "--ids", ",".join(map(str, ids)))
        want_logit, want_p = ref.confidence(ids)
        assert abs(got["logit"] - want_logit) < 1e-3 * max(1.0, abs(want_logit))
        assert abs(got["probability"] - want_p) < 1e-4


def test_confidence_absent_without_head(blob, tmp_path):
    m = gen3.random_model(gen3.tiny_gen3(), seed=1)
    gen3.write_gen3(tmp_path / "m.tesk", m, blob)
    assert cli("confidence", tmp_path / "m.tesk", "--ids", "2,5")["probability"] is None
    assert cli("load", tmp_path / "m.tesk")["has_head"] is False


def test_kv_bytes_matches_reference(models):
    path, model = models["tiny"]
    for seq in (0, 1, 3, 64):
        for int8 in (False, True):
            got = cli("kv-bytes", path, "--seq", seq, *(["--int8"] if int8 else []))["kv_bytes"]
            assert got == R.kv_bytes(model.geom, seq, int8)


# ---------------------------------------------------------------------------
# Load errors: one malformed container per defect kind.


def _base():
    """A tiny geometry with q/k/v convolution, two sites and a code-1 head."""
    g = gen3.tiny_gen3()
    return gen3.random_model(g, seed=9, bits=4, groups=16,
                             head=gen3.HeadSpec(code=1, probes=2, second=2, outputs=1))


def _tensors(model, blob, change=None):
    """The container's tensors in canon order; change(label, value) may
    return a replacement value (or a Tensor)."""
    out, labels = [], []
    for e in gen3.canon(model.geom, model.heads, tokenizer=True):
        labels.append(e.label)
        if e.kind == "bytes":
            out.append(bytes_tensor(blob))
            continue
        v = np.asarray(model.tensors[e.label], F32).reshape(e.shape)
        if change is not None:
            r = change(e.label, v)
            if r is not None and not isinstance(r, np.ndarray):
                out.append(r)
                continue
            if r is not None:
                v = r
        if e.kind == "cq":
            out.append(cq_tensor(quantise(v, group=16, bits=4)))
        else:
            out.append(f32_tensor(v, v.shape))
    return out, labels


def _write(tmp_path, model, tensors, **header):
    fields = model.geom.header_fields()
    fields.update(header)
    path = tmp_path / "bad.tesk"
    path.write_bytes(write_tesk(3, tensors, header=fields))
    return path


@pytest.fixture(scope="module")
def base():
    return _base()


def _error(tmp_path, model, blob, change=None, depth=None, drop=0, **header):
    tensors, _ = _tensors(model, blob, change)
    if drop:
        tensors = tensors[:-drop]
    path = _write(tmp_path, model, tensors, **header)
    args = ["load", path] + (["--depth", depth] if depth is not None else [])
    return cli(*args, expect_error=True)


GEOMETRY_CASES = [
    (dict(orders=[]), "geometry: container declares no engram orders"),
    (dict(num_tables=3), "geometry: engram tables 3 is not a multiple of 2 orders, so the "
                         "per-order head count is undefined"),
    (dict(num_tables=0), "geometry: container declares no engram tables"),
    (dict(sub_dim=7), "geometry: engram sub_dim 7 disagrees with d_model / (orders * heads) = 8"),
    (dict(num_kv_heads=3), "geometry: 4 query heads do not divide into 3 kv heads"),
    (dict(num_kv_heads=0), "geometry: 4 query heads do not divide into 0 kv heads"),
    (dict(head_dim=7), "geometry: head_dim 7 is odd; the rotary embedding turns pairs of elements"),
    (dict(hada_n=96), "geometry: hada_n 96 is not a power of two at or above d_model 32"),
    (dict(hada_n=16), "geometry: hada_n 16 is not a power of two at or above d_model 32"),
    (dict(logit_count=513), "geometry: logit_count 513 exceeds vocab_size 512"),
    (dict(max_seq_len=0), "geometry: max_seq_len is 0"),
    (dict(mhc_lanes=0), "geometry: mhc_lanes is 0"),
    (dict(num_heads=0), "geometry: num_heads is 0"),
    (dict(table_rows=0), "geometry: engram table_rows is 0"),
    (dict(tap_spacing=0), "geometry: engram tap_spacing is 0 with 3 convolution taps"),
]


@pytest.mark.parametrize("header,text", GEOMETRY_CASES)
def test_geometry_errors(base, blob, tmp_path, header, text):
    assert _error(tmp_path, base, blob, **header) == text


def test_container_error(tmp_path):
    path = tmp_path / "bad.tesk"
    path.write_bytes(b"\0" * 300)
    assert cli("load", path, expect_error=True).startswith("container: not a tesk blob: tag ")


def test_unreadable_file(tmp_path):
    assert "No such file" in cli("load", tmp_path / "missing.tesk", expect_error=True)


def test_too_few_tensors(base, blob, tmp_path):
    o = gen3.canon_final_slot(base.geom)
    tensors, _ = _tensors(base, blob)
    path = _write(tmp_path, base, tensors[:o])
    assert cli("load", path, expect_error=True) == \
        f"layout: canon needs at least {o + 1} tensors, directory has {o}"


def test_slot_shape(base, blob, tmp_path):
    def change(label, v):
        if label == "blocks.2.k_proj":
            return v[:8]
    _, labels = _tensors(base, blob)
    slot = labels.index("blocks.2.k_proj")
    assert _error(tmp_path, base, blob, change) == f"layout: slot {slot} (k_proj): want 16x32, got 8x32"


def test_engram_and_lane_matrix_shapes(base, blob, tmp_path):
    _, labels = _tensors(base, blob)
    slot = labels.index("engram.1.value_proj")
    text = _error(tmp_path, base, blob, lambda l, v: v[:, :16] if l == "engram.1.value_proj" else None)
    assert text == f"layout: slot {slot} (engram value_proj): want 32x32, got 32x16"
    slot = labels.index("mhc_phi_res")
    text = _error(tmp_path, base, blob, lambda l, v: v[:-1] if l == "mhc_phi_res" else None)
    assert text == f"layout: slot {slot} (mhc_phi_res): want 16x64, got 15x64"
    # A lane vector of the wrong kind is bound before the lane matrices are
    # checked, so its own error wins.
    def both(label, v):
        if label == "mhc_phi_res":
            return v[:-1]
        if label == "mhc_b_pre":
            return cq_tensor(quantise(np.ones((4, 64), F32), 64, 4))
    text = _error(tmp_path, base, blob, both)
    assert text.startswith(f"container: tensor {labels.index('mhc_b_pre')} has dtype 3"), text


def test_empty_attn_gate(base, blob, tmp_path):
    text = _error(tmp_path, base, blob,
                  lambda l, v: f32_tensor(np.zeros(0, F32), (0,)) if l == "blocks.1.attn_gate" else None)
    assert text == "attn_gate tensor is empty"


@pytest.mark.parametrize("depth", [0, 1, 5])
def test_depth_outside_ladder(base, blob, tmp_path, depth):
    assert _error(tmp_path, base, blob, depth=depth) == "depth is outside the ladder"


def test_no_tokenizer(base, blob, tmp_path):
    assert _error(tmp_path, base, blob, drop=1) == "container carries no tokenizer"


def test_bad_tokenizer(base, tmp_path):
    assert _error(tmp_path, base, b"\1\0") == "embedded tokenizer did not decode"


def test_head_tensors_ran_out(base, blob, tmp_path):
    text = _error(tmp_path, base, blob,
                  lambda l, v: np.array([1, 3], F32) if l == "head_manifest" else None)
    assert text == "head tensors ran out"


def test_probe_shapes(base, blob, tmp_path):
    assert _error(tmp_path, base, blob,
                  lambda l, v: v[:-1] if l == "heads.0.cell_probes" else None) == \
        "probe head shapes disagree with num_layers + 1 cells"
    assert _error(tmp_path, base, blob,
                  lambda l, v: v[:-1] if l == "heads.0.cell_scales" else None) == \
        "probe head shapes disagree with num_layers + 1 cells"


def test_head_binds_at_every_rung(base, blob, tmp_path):
    tensors, _ = _tensors(base, blob)
    path = _write(tmp_path, base, tensors)
    ids = [2, 7, 9, 11, 13]
    _, seen = gen3.encode_gen3(base, blob)  # the same 4-bit, group-16 weights
    for depth in (2, 3, 4):
        got = cli("confidence", path, "--depth", depth, "--ids", ",".join(map(str, ids)))
        ref = R.Reference(R.apply_rung(seen, depth))
        assert abs(got["probability"] - ref.confidence(ids)[1]) < 1e-4


SHORT_CASES = [
    ("blocks.0.norm_in", "norm_in", 32),
    ("blocks.1.q_taps", "q_taps", 96),
    ("blocks.3.q_norm", "q_norm", 8),
    ("blocks.0.ff_in_scale", "ff_in_scale", 128),
    ("blocks.0.ff_out_scale", "ff_out_scale", 32),
    ("blocks.2.ff_a2", "ff_a2", 64),
    ("blocks.2.ff_b3", "ff_b3", 256),
    ("blocks.1.ff_expert_scales", "ff_expert_scales", 384),
    ("mhc_b_pre", "mhc_b_pre", 8),
    ("mhc_b_res", "mhc_b_res", 16),
    ("mhc_a_post", "mhc_a_post", 4),
    ("perm_b", "perm_b", 128),
    ("engram.0.taps", "engram taps", 96),
    ("final_norm", "final_norm", 32),
]


@pytest.mark.parametrize("label,short,want", SHORT_CASES)
def test_short_float_vectors(base, blob, tmp_path, label, short, want):
    _, labels = _tensors(base, blob)
    slot = labels.index(label)
    text = _error(tmp_path, base, blob, lambda l, v: v.reshape(-1)[:-1] if l == label else None)
    assert text == f"layout: slot {slot} ({short}): want at least {want} values, got {want - 1}"


def test_lane_vector_short_at_a_rung(base, blob, tmp_path):
    # Block 3 (the last) is in every rung; its lane biases are missing.
    _, labels = _tensors(base, blob)
    slot = labels.index("mhc_b_post")
    text = _error(tmp_path, base, blob, lambda l, v: v[:6] if l == "mhc_b_post" else None, depth=2)
    assert text == f"layout: slot {slot} (mhc_b_post): want at least 8 values, got 6"


def test_router_must_be_two_dimensional(base, blob, tmp_path):
    _, labels = _tensors(base, blob)
    slot = labels.index("blocks.0.ff_router")
    text = _error(tmp_path, base, blob,
                  lambda l, v: f32_tensor(v.reshape(-1), (v.size,)) if l == "blocks.0.ff_router" else None)
    assert text == f"layout: slot {slot} (ff_router): want 2 dimensions, got 1"


def test_permutation_index_out_of_range(base, blob, tmp_path):
    _, labels = _tensors(base, blob)
    slot = labels.index("perm_a")

    def change(l, v):
        if l == "perm_a":
            v = v.copy()
            v[5] = 128
            return v
    text = _error(tmp_path, base, blob, change)
    assert text == f"layout: slot {slot} (perm_a): index 128 at 5 is not below hada_n 128"


def test_empty_permutations_skip_the_gather(base, blob, tmp_path):
    tensors, labels = _tensors(base, blob)
    for name in ("perm_a", "perm_b"):
        tensors[labels.index(name)] = f32_tensor(np.zeros(0, F32), (0,))
    path = _write(tmp_path, base, tensors)
    ids = [2, 40, 41, 42]
    _, seen = gen3.encode_gen3(base, blob)  # the same 4-bit, group-16 weights
    seen.tensors["perm_a"] = np.zeros(0, F32)
    seen.tensors["perm_b"] = np.zeros(0, F32)
    assert rel_err(rows(path, ids, "--no-cache"), R.Reference(seen).prefill(ids)) < REL


def test_head_matrix_columns(base, blob, tmp_path):
    _, labels = _tensors(base, blob)
    slot = labels.index("heads.0.head_proj")
    text = _error(tmp_path, base, blob,
                  lambda l, v: v[:, :32] if l == "heads.0.head_proj" else None)
    assert text == f"layout: slot {slot} (head_proj): want 64 columns, got 32"
