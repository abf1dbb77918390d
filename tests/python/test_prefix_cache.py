"""The prompt-prefix cache of V3Engine and V2Engine: over repeated tool lists
with new queries, every call gives what it gives with the cache disabled
(ids, text, stop reason, positions), in every cache form, compute form and
ladder depth; eviction keeps the bytes under the bound; the counters move;
calls from many threads agree with serial ones."""
import json
import os

import pytest

import pinnet_rs
from pinnet_tools import gen2, gen3
from threads import assert_threads_match_sequential

V2, V3 = pinnet_rs.V2Engine, pinnet_rs.V3Engine


def tool(name, fields, description=""):
    props = {f: {"type": "string", "description": f"The {f} to use."} for f in fields}
    return {"name": name, "description": description,
            "parameters": {"type": "object", "properties": props, "required": list(fields)}}


# Three tool lists (short to long, pretty-printed as callers send them) and
# queries of different lengths for each: the empty one leaves the shortest
# rest after the tool list, the long one a rest past the batched kernels'
# width.
TOOL_LISTS = [
    json.dumps([tool("get_weather", ["city", "unit"], "Current weather for a city."),
                tool("getTime", ["tz"], "Local time in a time zone.")], indent=2),
    json.dumps([tool("search_flights", ["from", "to", "date"], "Flights between two airports."),
                tool("book_table", ["restaurant", "time", "people"], "Reserve a table."),
                tool("convert", ["amount", "from", "to"], "Convert between currencies.")], indent=2),
    json.dumps([tool(f"tool_{i}", ["query", "limit", "locale"], f"Tool number {i} of many.")
                for i in range(6)], indent=2),
]
QUERIES = ["", "weather in Oslo?",
           "I'm flying from Lisbon to Zürich next Friday and back on Sunday: what will the "
           "weather be like there, in celsius please, and what time is it there now?"]
CORPUS = [(q, t) for t in TOOL_LISTS for q in QUERIES]
SYSTEM = "You are a careful assistant. Call a tool only when one fits the request."


@pytest.fixture(scope="module")
def tmp(tmp_path_factory):
    return tmp_path_factory.mktemp("prefix")


@pytest.fixture(scope="module")
def v3_path(tmp):
    # Twelve blocks of 64 (4-bit codes in 64-float groups: the vector kernels,
    # wide batches included), a window the prompts wrap, room for the lists.
    head = gen3.HeadSpec(code=3)
    model, blob = gen3.build_preset("small-gen3", seed=3, head=head)
    model = gen3.random_model(model.geom.replace(max_seq_len=1024), seed=3, bits=4, groups=64,
                              head=head)
    path = str(tmp / "v3.tesk")
    gen3.write_gen3(path, model, blob)
    return path


@pytest.fixture(scope="module")
def v2_path(tmp):
    blob = gen3.tokenizer_blob_for(512)
    g = gen2.tiny_gen2(int.from_bytes(blob[:4], "little")).replace(max_seq_len=1024, kv_window=200)
    model = gen2.random_model(g, seed=4, bits=4, groups=64, heads=gen2.heads_for("both", g))
    path = str(tmp / "v2.tesk")
    gen2.write_gen2(path, model, blob)
    return path


def v3_generation(engine, query, tools, kv_int8=False, system=None):
    return engine.generate(query, tools, max_new_tokens=10, kv_int8=kv_int8, system=system)


def uncached(engine, calls):
    engine.set_prefix_cache_bytes(0)
    out = [calls(*a) for a in CORPUS]
    engine.set_prefix_cache_bytes(256 << 20)
    return out


@pytest.mark.parametrize("compute", ["float", "int8"])
@pytest.mark.parametrize("depth", [None, 6, 2])
def test_v3_cached_calls_equal_uncached(v3_path, compute, depth):
    engine = V3.open(v3_path, depth=depth, compute=compute)
    for kv_int8 in (False, True):
        for system in (None, SYSTEM):
            def call(q, t):
                return v3_generation(engine, q, t, kv_int8, system)
            want = uncached(engine, call)
            engine.clear_prefix_cache()
            before = engine.prefix_cache_info()
            # Twice over the corpus: the first pass meets each list cold once,
            # the second finds every list kept.
            for rep in range(2):
                assert [call(*a) for a in CORPUS] == want, (kv_int8, system, rep)
            info = engine.prefix_cache_info()
            assert info["misses"] - before["misses"] == len(TOOL_LISTS)
            assert info["hits"] - before["hits"] == 2 * len(CORPUS) - len(TOOL_LISTS)
            assert 0 < info["bytes"] <= info["capacity"] and info["entries"] >= len(TOOL_LISTS)


def test_v3_every_entry_point(v3_path):
    engine = V3.open(v3_path)
    q, t = QUERIES[1], TOOL_LISTS[1]
    streamed = []

    def calls():
        return [engine.run(q, t), engine.run_json(q, t), engine.generate(q, t, max_new_tokens=8),
                engine.run_stream(q, t, streamed.append), engine.run_scored(q, t),
                engine.call(q, json.loads(t), max_new_tokens=160),
                engine.call(q, t, tool_choice="required", max_new_tokens=160, system=SYSTEM),
                engine.generate(q, t, max_new_tokens=8, temperature=0.8, seed=5, constrain=True),
                engine.confidence_for(q, t, "<think>x</think><tool_call>[]</tool_call>"),
                engine.confidence_for(QUERIES[2], t, "")]
    engine.set_prefix_cache_bytes(0)
    want = calls()
    engine.set_prefix_cache_bytes(64 << 20)
    assert calls() == want and calls() == want
    assert engine.prefix_cache_info()["hits"] > 0
    assert want[4][1] is not None and want[-1] is not None  # the head scored


def test_v3_eviction_keeps_bytes_under_the_bound(v3_path):
    engine = V3.open(v3_path)
    want = uncached(engine, lambda q, t: v3_generation(engine, q, t))
    one_list = None
    for (q, t), w in zip(CORPUS, want):
        assert v3_generation(engine, q, t) == w
        one_list = one_list or engine.prefix_cache_info()["bytes"]
    # Room for about one list's entries: the others go, least recent first.
    engine.clear_prefix_cache()
    engine.set_prefix_cache_bytes(one_list + one_list // 2)
    for rep in range(2):
        for (q, t), w in zip(CORPUS, want):
            assert v3_generation(engine, q, t) == w
            info = engine.prefix_cache_info()
            assert info["bytes"] <= info["capacity"] == one_list + one_list // 2
    assert engine.prefix_cache_info()["entries"] <= 3
    # Lowering the bound evicts at once; 0 disables.
    engine.set_prefix_cache_bytes(one_list // 3)
    assert engine.prefix_cache_info()["bytes"] <= one_list // 3
    engine.set_prefix_cache_bytes(0)
    info = engine.prefix_cache_info()
    assert (info["bytes"], info["entries"], info["capacity"]) == (0, 0, 0)
    misses = info["misses"]
    assert v3_generation(engine, *CORPUS[0]) == want[0]
    assert engine.prefix_cache_info()["misses"] == misses  # disabled: not looked up


def test_v3_threads_match_serial(v3_path):
    engine = V3.open(v3_path)
    want = uncached(engine, lambda q, t: v3_generation(engine, q, t))
    args = [(q, t) for q, t in CORPUS for _ in range(2)]
    engine.clear_prefix_cache()
    assert_threads_match_sequential(lambda q, t: v3_generation(engine, q, t), args)
    assert [v3_generation(engine, q, t) for q, t in CORPUS] == want


def test_v3_environment_bound(v3_path, monkeypatch):
    monkeypatch.setenv("PINNET_PREFIX_CACHE_BYTES", "0")
    assert V3.open(v3_path).prefix_cache_info() == {
        "bytes": 0, "capacity": 0, "entries": 0, "hits": 0, "misses": 0}
    monkeypatch.setenv("PINNET_PREFIX_CACHE_BYTES", "123456789")
    assert V3.open(v3_path).prefix_cache_info()["capacity"] == 123456789
    monkeypatch.setenv("PINNET_PREFIX_CACHE_BYTES", "lots")
    assert V3.open(v3_path).prefix_cache_info()["capacity"] == 64 << 20
    monkeypatch.delenv("PINNET_PREFIX_CACHE_BYTES")
    assert V3.open(v3_path).prefix_cache_info()["capacity"] == 64 << 20
    with pytest.raises((OverflowError, ValueError)):
        V3.open(v3_path).set_prefix_cache_bytes(-1)


@pytest.mark.parametrize("compute", ["float", "int8"])
def test_v2_cached_calls_equal_uncached(v2_path, compute):
    engine = V2.open(v2_path, compute=compute)
    for system in (None, SYSTEM):
        def call(q, t):
            return engine.generate(q, t, max_new_tokens=10, system=system)
        want = uncached(engine, call)
        engine.clear_prefix_cache()
        for rep in range(2):
            assert [call(*a) for a in CORPUS] == want, (system, rep)
        info = engine.prefix_cache_info()
        assert info["hits"] >= len(CORPUS) and 0 < info["bytes"] <= info["capacity"]


def test_v2_batch_entry_points_and_threads(v2_path):
    engine = V2.open(v2_path)
    q, t = QUERIES[1], TOOL_LISTS[2]
    streamed = []

    def calls():
        return [engine.run(q, t), engine.run_json(q, t), engine.run_batch(CORPUS),
                engine.run_stream(q, t, streamed.append), engine.call(q, t, max_new_tokens=160),
                engine.generate(q, t, max_new_tokens=8, temperature=0.7, seed=3),
                [engine.confidence_for(q2, t, "<tool_call>[]</tool_call>") for q2 in QUERIES]]
    engine.set_prefix_cache_bytes(0)
    want = calls()
    engine.set_prefix_cache_bytes(64 << 20)
    assert calls() == want and calls() == want
    assert engine.prefix_cache_info()["hits"] > 0
    assert None not in want[-1]  # the head scored
    engine.clear_prefix_cache()
    assert_threads_match_sequential(lambda q, t: engine.run(q, t), CORPUS * 2)
