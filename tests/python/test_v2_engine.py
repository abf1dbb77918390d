"""V2Engine end to end on random generation-2 containers written with the
tools, checked against the NumPy reference of the model, its heads and the
decode loop."""
import json
import math

import numpy as np
import pytest

import pinnet_rs
from pinnet_tools import gen2, gen3
from pinnet_tools.template import build_prompt, scoring_text
from support import gen2_defects
from support import gen2_reference as R
from threads import assert_threads_match_sequential

V2 = pinnet_rs.V2Engine
TOOLS = json.dumps([
    {"name": "get_weather", "parameters": {"properties": {"city": {"type": "string"}}}},
    {"name": "getTime", "parameters": {"properties": {"tz": {"type": "string"}}}},
], indent=2)
QUERIES = ["What's the weather in Lisbon?", "time in Tokyo please", "héllo 世界 🎉"]


class Written:
    """A tiny-preset container with room for a prompt that carries the tools."""

    def __init__(self, tmp, name, heads="both", tokenizer=True, seed=0, **geom):
        blob = gen3.tokenizer_blob_for(512)
        g = gen2.tiny_gen2(int.from_bytes(blob[:4], "little")).replace(max_seq_len=200, **geom)
        self.model = gen2.random_model(g, seed=seed, bits="mixed", groups="mixed",
                                       heads=gen2.heads_for(heads, g))
        self.path = str(tmp / f"{name}.tesk")
        self.data = gen2.write_gen2(self.path, self.model, blob if tokenizer else None)
        self.ref = R.Gen2Reference(self.model, blob)
        self.sp = gen3.sentencepiece_processor(512)
        self.engine = V2.load(self.path)

    def prompt_ids(self, query, tools=TOOLS, system=None):
        return self.sp.encode(build_prompt(query, tools, system))


@pytest.fixture(scope="module")
def tmp(tmp_path_factory):
    return tmp_path_factory.mktemp("v2")


@pytest.fixture(scope="module")
def both(tmp):
    return Written(tmp, "both")


def margins(ref, ids, out):
    """Top-2 logit margins before each reference choice, so comparisons stop
    before a near tie that summation order could flip."""
    state = ref.new_state()
    logits = ref.prefill(ids, state)
    found = []
    for t in out["token_ids"] + [None]:
        top = np.sort(logits)[-2:]
        found.append(float(top[1] - top[0]))
        if t is None or state.position >= ref.geom.max_seq_len:
            break
        logits = ref.step(t, state)
    return found


def assert_matches_reference(w, got, prompt_ids, budget):
    want = R.greedy_generate(w.ref, prompt_ids, budget)
    kept = [w.ref.bos_id] + list(prompt_ids)
    m = margins(w.ref, kept[:want["prompt_tokens"]], want)
    n = next((i for i, x in enumerate(m) if x < 1e-3), None)
    if n is None:
        assert got["token_ids"] == want["token_ids"]
        assert got["stop_reason"] == want["stop_reason"]
    else:
        assert got["token_ids"][:n] == want["token_ids"][:n]
    assert got["prompt_tokens"] == want["prompt_tokens"]


@pytest.mark.parametrize("window", [0, 8])
def test_generation_matches_reference(tmp, window):
    w = Written(tmp, f"gen-window{window}", kv_window=window)
    for q in QUERIES:
        got = w.engine.generate(q, TOOLS, max_new_tokens=20)
        assert list(got) == ["text", "tool_call", "thinking", "token_ids", "prompt_tokens",
                             "stop_reason", "stopped_naturally"]
        assert_matches_reference(w, got, w.prompt_ids(q), 20)
        assert got["text"] == w.sp.decode(got["token_ids"])
        assert got["stopped_naturally"] == (got["stop_reason"] in ("Eos", "ImEnd"))
    # Sampling: bit for bit the reference sampler with generation 2's seeding.
    a = w.engine.generate(QUERIES[0], TOOLS, max_new_tokens=6, temperature=0.8, seed=3)
    assert a == w.engine.generate(QUERIES[0], TOOLS, max_new_tokens=6, temperature=0.8, seed=3)
    want = R.greedy_generate(w.ref, w.prompt_ids(QUERIES[0]), 6, temperature=0.8, seed=3)
    assert a["token_ids"][0] == want["token_ids"][0]
    # A system turn is part of the prompt.
    sys_out = w.engine.generate(QUERIES[0], TOOLS, max_new_tokens=4, system="Be brief.")
    assert sys_out["prompt_tokens"] == 1 + len(w.prompt_ids(QUERIES[0], system="Be brief."))


def test_entry_points_agree(both):
    eng, q = both.engine, QUERIES[0]
    full = eng.generate(q, TOOLS)
    assert full == eng.generate(q, TOOLS, 128, 0.0, 0, None, False)
    assert eng.run(q, TOOLS) == full["text"]
    assert eng.run_json(q, TOOLS) == full["tool_call"]
    pieces = []
    assert eng.run_stream(q, TOOLS, lambda i, p: pieces.append((i, p))) == full["text"]
    assert [i for i, _ in pieces] == full["token_ids"]
    assert "".join(p for _, p in pieces) == full["text"]

    def raising(i, p):
        raise RuntimeError("ignored")
    assert eng.run_stream(q, TOOLS, raising) == full["text"]
    assert eng.run_batch([]) == []
    pairs = [(q, TOOLS), (QUERIES[1], "[]"), (q, TOOLS)]
    assert eng.run_batch(pairs) == [eng.run(a, b) for a, b in pairs]
    assert eng.generate(q, TOOLS, constrain=True)["stop_reason"] in {"Eos", "ImEnd", "MaxTokens"}


def test_budget_and_context(both):
    eng = both.engine
    none = eng.generate(QUERIES[0], TOOLS, max_new_tokens=0)
    assert (none["text"], none["token_ids"], none["stop_reason"]) == ("", [], "MaxTokens")
    assert none["prompt_tokens"] == 1 + len(both.prompt_ids(QUERIES[0]))
    # A budget at the context limit keeps the begin id alone.
    limit = eng.config()["max_seq_len"]
    out = eng.generate(QUERIES[0], TOOLS, max_new_tokens=limit + 5)
    assert out["prompt_tokens"] == 1
    assert_matches_reference(both, out, both.prompt_ids(QUERIES[0]), limit + 5)
    if out["stop_reason"] == "ContextFull":
        assert len(out["token_ids"]) == limit


def test_model_error_is_a_stop_reason(tmp):
    # A vocabulary smaller than the tokenizer's: prompt ids fall outside it.
    w = Written(tmp, "small-vocab", vocab_size=40)
    out = w.engine.generate(QUERIES[0], TOOLS)
    assert out["stop_reason"] == 'Error("token id outside vocabulary")'
    assert (out["text"], out["token_ids"], out["tool_call"], out["thinking"]) == ("", [], None, None)
    assert out["stopped_naturally"] is False
    assert w.engine.run(QUERIES[0], TOOLS) == "" and w.engine.run_json(QUERIES[0], TOOLS) is None


def test_heads_match_reference(both):
    eng, ref, sp = both.engine, both.ref, both.sp
    texts = ["", "get the weather", "a " * 300]  # the last is cut to the context
    for t in texts:
        logit = eng.confidence(t)
        assert logit == pytest.approx(float(ref.run_head(2, sp.encode(t))[0]), rel=1e-4, abs=1e-5)
        p = np.float32(1) / (np.float32(1) + np.exp(np.float32(-logit)))
        assert eng.confidence_probability(t) == pytest.approx(float(p), rel=1e-6)
        emb = eng.encode_contrastive(t)
        np.testing.assert_allclose(emb, ref.run_head(1, sp.encode(t)), rtol=1e-4, atol=1e-5)
        assert math.isclose(math.fsum(x * x for x in emb), 1.0, rel_tol=1e-5)
    assert eng.contrastive_dim() == len(emb)
    c = "<tool_call>[]</tool_call>"
    assert eng.confidence_for(QUERIES[0], TOOLS, c) == pytest.approx(
        eng.confidence_probability(scoring_text(QUERIES[0], TOOLS, c)), rel=1e-6)

    descs = ["weather for a city", "time in a zone", "weather for a city", "send mail"]
    ranked = eng.retrieve_tools("what is the weather", descs, 10)
    q = ref.run_head(1, sp.encode("what is the weather"))
    want = sorted(range(len(descs)), key=lambda i: -float(np.dot(q, ref.run_head(1, sp.encode(descs[i])))))
    assert [i for i, _ in ranked] == want
    assert ranked[want.index(0)][1] == ranked[want.index(2)][1]  # equal texts, equal scores, in order
    assert [i for i, _ in eng.retrieve_tools("x", descs, 2)] == [i for i, _ in eng.retrieve_tools("x", descs, 9)][:2]
    assert eng.retrieve_tools("x", descs, 0) == [] and eng.retrieve_tools("x", [], 3) == []


@pytest.mark.parametrize("heads", ["none", "contrastive", "confidence"])
def test_missing_heads(tmp, heads):
    eng = Written(tmp, f"heads-{heads}", heads=heads).engine
    has_con, has_conf = heads == "contrastive", heads == "confidence"
    assert (eng.encode_contrastive("x") is not None) == has_con
    assert (eng.contrastive_dim() > 0) == has_con
    assert (eng.retrieve_tools("x", ["y"], 1) != []) == has_con
    for value in (eng.confidence("x"), eng.confidence_probability("x"),
                  eng.confidence_for("q", "[]", "c")):
        assert (value is not None) == has_conf


def test_container_without_tokenizer(tmp):
    w = Written(tmp, "no-tokenizer", tokenizer=False)
    eng = w.engine
    msg = "container has no embedded tokenizer; use the lower-level V2Bundle API"
    for call in (lambda: eng.run("q", "[]"), lambda: eng.run_json("q", "[]"),
                 lambda: eng.generate("q", "[]"), lambda: eng.run_stream("q", "[]", print),
                 lambda: eng.run_batch([("q", "[]")])):
        with pytest.raises(RuntimeError, match=msg):
            call()
    assert eng.encode_contrastive("x") is None and eng.confidence("x") is None
    assert eng.config()["vocab_size"] == w.model.geom.vocab_size


def test_config_and_load_errors(both, tmp):
    g = both.model.geom
    cfg = both.engine.config()
    assert cfg == {"vocab_size": g.vocab_size, "d_model": g.d_model, "num_heads": g.num_heads,
                   "num_kv_heads": g.num_kv_heads, "num_layers": g.num_layers,
                   "head_dim": g.head_dim, "max_seq_len": g.max_seq_len,
                   "mhc_lanes": g.mhc_lanes, "kv_window": g.kv_window,
                   "rope_theta": float(np.float32(g.rope_theta)), "engram_sites": g.engram_sites}
    cfg["d_model"] = 0
    assert both.engine.config()["d_model"] == g.d_model
    with pytest.raises(OSError, match="tesk truncated: need at least 120 bytes, got 0"):
        V2.from_bytes(b"")
    with pytest.raises(OSError):
        V2.load(str(tmp / "missing.tesk"))
    for d in gen2_defects.defects()[:8]:
        with pytest.raises(OSError, match=".+") as e:
            V2.from_bytes(d.data)
        assert str(e.value) == d.message
    assert V2.from_bytes(both.data).run(QUERIES[1], TOOLS) == both.engine.run(QUERIES[1], TOOLS)


def test_concurrent_calls_match_sequential(both):
    eng = both.engine
    args = [(q, TOOLS, 12, 0.0 if i % 2 else 0.9, i) for i, q in enumerate(QUERIES * 2)]
    assert_threads_match_sequential(eng.generate, args)
