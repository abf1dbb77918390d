"""V3Engine end to end on random generation-3 models written with the tools,
checked against the NumPy reference of the model and the decode loop."""
import json
import math
import threading
import time

import numpy as np
import pytest

import pinnet_rs
from pinnet_tools import gen3
from pinnet_tools.template import build_prompt, scoring_text
from support import gen3_reference as R
from threads import assert_threads_match_sequential

V3 = pinnet_rs.V3Engine
TOOLS = json.dumps([
    {"name": "get_weather", "description": "Weather for a city",
     "parameters": {"type": "object", "properties": {"city": {"type": "string"},
                                                      "unit": {"enum": ["c", "f"]}}}},
    {"name": "getTime", "parameters": {"properties": {"tz": {"type": "string"}}}},
], indent=2)
QUERIES = ["What's the weather in Lisbon?", "time in Tokyo please", "héllo 世界 🎉", ""]


def roomy(g):
    """The tiny preset with room for a prompt that carries the tools."""
    return g.replace(max_seq_len=320)


class Written:
    def __init__(self, tmp, name, geom=roomy, seed=0, head=None, preset="tiny-gen3"):
        model, blob = gen3.build_preset(preset, seed=seed, head=head)
        if geom is not None:
            model = gen3.random_model(geom(model.geom), seed=seed, bits="mixed",
                                      groups="mixed", head=head)
        self.path = str(tmp / f"{name}.tesk")
        self.data = gen3.write_gen3(self.path, model, blob)
        self.model = model
        self.ref = R.Reference(model.dequantised)
        self.sp = gen3.sentencepiece_processor(512)

    def prompt_ids(self, query, tools=TOOLS, system=None):
        return R.prompt_ids(self.sp.encode, query, tools, system)


@pytest.fixture(scope="module")
def tmp(tmp_path_factory):
    return tmp_path_factory.mktemp("v3")


@pytest.fixture(scope="module")
def headed(tmp):
    return Written(tmp, "headed", head=gen3.HeadSpec(code=3))


@pytest.fixture(scope="module")
def plain(tmp):
    return Written(tmp, "plain", seed=1)


def reference_greedy(ref, ids, budget, kv_int8=False, im_end=None):
    """The reference loop, also returning the smallest top-2 logit margin seen
    before each choice, so comparisons stop before a near tie."""
    g = ref.geom
    out = R.greedy_generate(ref, ids, budget, im_end_id=im_end, kv_int8=kv_int8)
    ids = list(ids)[:g.max_seq_len]
    cache = ref.new_cache(len(ids) + budget, kv_int8)
    logits = ref.prefill(ids, cache)[-1]
    margins = []
    for t in out["token_ids"] + [None]:
        top = np.sort(logits)[-2:]
        margins.append(float(top[1] - top[0]))
        if t is None or cache.position >= g.max_seq_len:
            break
        logits = ref.step(cache, t)
    return out, margins


def im_end_id(w):
    return w.sp.piece_to_id("<|im_end|>")


def assert_same_generation(got, want, margins, tol=1e-3):
    """Equal ids up to the first near tie; fully equal when there is none."""
    n = next((i for i, m in enumerate(margins) if m < tol), None)
    if n is None:
        assert got["token_ids"] == want["token_ids"]
        assert got["stop_reason"] == want["stop_reason"]
        assert got["positions"] == want["positions"]
    else:
        assert got["token_ids"][:n] == want["token_ids"][:n]


@pytest.mark.parametrize("kv_int8", [False, True])
def test_greedy_generation_matches_reference(headed, kv_int8):
    eng = V3.load(headed.path)
    for q in QUERIES[:3]:
        got = eng.generate(q, TOOLS, max_new_tokens=24, kv_int8=kv_int8)
        want, margins = reference_greedy(headed.ref, headed.prompt_ids(q), 24, kv_int8,
                                         im_end_id(headed))
        assert_same_generation(got, want, margins)
        assert got["text"] == headed.sp.decode(got["token_ids"])
        assert got["positions"] >= len(headed.prompt_ids(q)) and got["stop_reason"] != "MaxSeqLen"


def test_entry_points_and_defaults(headed):
    eng = V3.load(headed.path)
    q = QUERIES[0]
    full = eng.generate(q, TOOLS)
    assert list(full) == ["text", "tool_call", "reasoning", "token_ids", "stop_reason", "positions"]
    assert full == eng.generate(q, TOOLS, max_new_tokens=256)
    assert full == eng.generate(q, TOOLS, 0, 0.0, 0, None, False, False)
    assert full == eng.generate(q, TOOLS, system=None)
    assert eng.run(q, TOOLS) == full["text"]
    assert eng.run_json(q, TOOLS) == full["tool_call"] == V3.extract_tool_call(full["text"])
    assert full["reasoning"] == V3.reasoning(full["text"])
    result, conf = eng.run_scored(q, TOOLS)
    assert list(result) == ["text", "tool_call", "reasoning", "stop_reason"]
    assert result == {k: full[k] for k in result}
    assert conf == pytest.approx(eng.confidence_for(q, TOOLS, full["text"]), rel=1e-6)
    # A system turn changes the prompt and so, generally, the output.
    sys_out = eng.generate(q, TOOLS, max_new_tokens=8, system="Be brief.")
    want, margins = reference_greedy(headed.ref, headed.prompt_ids(q, system="Be brief."), 8,
                                     im_end=im_end_id(headed))
    assert_same_generation(sys_out, want, margins)


def test_context_limits(plain):
    eng = V3.load(plain.path)
    limit = eng.max_seq_len
    long_query = "word " * (2 * limit)
    out = eng.generate(long_query, "[]")
    assert out["stop_reason"] == "MaxSeqLen"
    assert out["token_ids"] == [] and out["text"] == ""
    assert out["positions"] == limit
    # A prompt three ids short of the limit generates at most three ids.
    query = next(q for q in ("a " * n + tail for n in range(limit) for tail in ("", "b", "é"))
                 if len(plain.prompt_ids(q, "[]")) == limit - 3)
    out = eng.generate(query, "[]", max_new_tokens=256)
    assert len(out["token_ids"]) <= 3
    if len(out["token_ids"]) == 3:
        assert out["stop_reason"] == "MaxTokens" and out["positions"] == limit


def test_sampling_is_reproducible_per_seed(plain):
    eng = V3.load(plain.path)
    a = eng.generate(QUERIES[0], TOOLS, max_new_tokens=16, temperature=0.7, seed=5)
    assert a == eng.generate(QUERIES[0], TOOLS, max_new_tokens=16, temperature=0.7, seed=5)
    seeds = {tuple(eng.generate(QUERIES[0], TOOLS, max_new_tokens=16, temperature=1.5,
                                seed=s)["token_ids"]) for s in range(4)}
    assert len(seeds) > 1
    # Bit for bit the reference sampler (splitmix64, double sums) on the same logits.
    ids = plain.prompt_ids(QUERIES[0])
    cache = plain.ref.new_cache(len(ids) + 4)
    logits = plain.ref.prefill(ids, cache)[-1]
    first, _ = R.sample(logits, 0.7, 5)
    assert a["token_ids"][0] == first


def test_stop_on_end_ids(tmp):
    # With two or five logits the model can only choose among the first ids,
    # so it soon picks the end id (1) or "<|im_end|>".
    seen = set()
    for seed in range(6):
        w = Written(tmp, f"few{seed}", seed=seed,
                    geom=lambda g: roomy(g).replace(logit_count=2 if seed % 2 else 5))
        if w.model.geom.logit_count == 5 and im_end_id(w) >= 5:
            pytest.skip("<|im_end|> is not among the first ids of this vocabulary")
        eng = V3.load(w.path)
        got = eng.generate(QUERIES[1], TOOLS)
        want, margins = reference_greedy(w.ref, w.prompt_ids(QUERIES[1]), 256,
                                         im_end=im_end_id(w))
        assert_same_generation(got, want, margins)
        seen.add(got["stop_reason"])
    assert "Eos" in seen


def test_constrain_flag(headed):
    eng = V3.load(headed.path)
    for tools in ("[]", "not json"):
        assert (eng.generate(QUERIES[0], tools, max_new_tokens=12, constrain=True)
                == eng.generate(QUERIES[0], tools, max_new_tokens=12))
    out = eng.generate(QUERIES[0], TOOLS, max_new_tokens=12, constrain=True)
    assert out["stop_reason"] in {"Eos", "ImEnd", "MaxTokens"}


@pytest.mark.parametrize("depth", [2, 3, 4])
def test_ladder_rungs(headed, depth):
    eng = V3.load_with_depth(headed.path, depth)
    assert eng.num_layers == depth
    cut = R.Reference(R.apply_rung(headed.model.dequantised, depth))
    got = eng.generate(QUERIES[0], TOOLS, max_new_tokens=12)
    want, margins = reference_greedy(cut, headed.prompt_ids(QUERIES[0]), 12,
                                      im_end=im_end_id(headed))
    assert_same_generation(got, want, margins)
    # The head reads the cells of the blocks the rung keeps.
    completion = "<think>x</think><tool_call>[]</tool_call>"
    ids = headed.sp.encode(scoring_text(QUERIES[0], TOOLS, completion))
    _, p = cut.confidence([R.BOS_ID] + ids)
    assert eng.confidence_for(QUERIES[0], TOOLS, completion) == pytest.approx(p, rel=1e-3, abs=1e-4)


def test_confidence(headed, plain):
    eng = V3.load(headed.path)
    assert eng.has_confidence() is True
    for completion in ["", "<tool_call>[]</tool_call>", "a" * 500]:
        ids = headed.sp.encode(scoring_text(QUERIES[1], TOOLS, completion))
        _, p = headed.ref.confidence([R.BOS_ID] + ids)  # cut to max_seq_len inside
        got = eng.confidence_for(QUERIES[1], TOOLS, completion)
        assert 0.0 < got < 1.0
        assert got == pytest.approx(p, rel=1e-3, abs=1e-4)
    bare = V3.load(plain.path)
    assert bare.has_confidence() is False
    assert bare.confidence_for("q", "[]", "x") is None
    result, conf = bare.run_scored("q", "[]")
    assert conf is None and isinstance(result, dict)


def test_streaming(headed):
    eng = V3.load(headed.path)
    deltas = []
    text = eng.run_stream(QUERIES[2], TOOLS, deltas.append)
    assert "".join(deltas) == text == eng.run(QUERIES[2], TOOLS)
    assert all(d for d in deltas)

    calls = []

    def raising(piece):
        calls.append(piece)
        raise RuntimeError("ignored")
    assert eng.run_stream(QUERIES[2], TOOLS, raising) == text
    assert "".join(calls) == text


def test_load_errors(tmp, headed):
    missing = str(tmp / "missing.tesk")
    with pytest.raises(OSError):
        V3.load(missing)
    with pytest.raises(ValueError):
        V3.load_with_depth(missing, 2)
    with pytest.raises(OSError, match="tesk truncated: need at least 196 bytes, got 0"):
        V3.from_bytes(b"")
    for bad in (0, 1, headed.model.geom.num_layers + 1):
        with pytest.raises(ValueError, match="depth is outside the ladder"):
            V3.load_with_depth(headed.path, bad)
    with pytest.raises(OverflowError):
        V3.load_with_depth(headed.path, -1)
    eng = V3.from_bytes(headed.data)
    assert eng.num_layers == headed.model.geom.num_layers
    assert V3.load_with_depth(headed.path, eng.num_layers).num_layers == eng.num_layers


def test_kv_bytes_and_properties(headed):
    eng = V3.load(headed.path)
    g = headed.model.geom
    assert eng.max_seq_len == g.max_seq_len
    for n in (0, 1, 3, 7, 100, 10_000):
        assert eng.kv_bytes(n) == R.kv_bytes(g, n)
        assert eng.kv_bytes(n, kv_int8=True) == R.kv_bytes(g, n, True)
    ratio = eng.kv_bytes(50, True) / eng.kv_bytes(50)
    assert ratio == pytest.approx((g.head_dim + g.v_head_dim + 8) / (4 * (g.head_dim + g.v_head_dim)))
    with pytest.raises(AttributeError):
        eng.num_layers = 3
    with pytest.raises(AttributeError):
        eng.max_seq_len = 3


def test_concurrent_calls_match_sequential_and_release_the_lock(tmp):
    w = Written(tmp, "small", preset="small-gen3", geom=None)
    eng = V3.load(w.path)
    args = [(q, TOOLS, 24, 0.0 if i % 2 else 0.9, i) for i, q in enumerate(QUERIES * 2)]
    assert_threads_match_sequential(eng.generate, args)

    # While one thread is inside a call, a pure-Python thread keeps running.
    ticks = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks[0] += 1
    spinner = threading.Thread(target=spin)
    spinner.start()
    time.sleep(0.01)
    before = ticks[0]
    eng.generate(QUERIES[0], TOOLS, max_new_tokens=64)
    during = ticks[0] - before
    stop.set()
    spinner.join()
    assert during > 0
