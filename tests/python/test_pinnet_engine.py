"""PinnetEngine end to end on random generation-1 models written with the
real safetensors library and SentencePiece vocabularies, checked against the
NumPy reference of the decoder loop where the tool constraint leaves it free."""
import json
import math

import numpy as np
import pytest

import pinnet_rs
from pinnet_tools import gen1
from support import gen1_reference as R

P = pinnet_rs.PinnetEngine
DASH = "\u2014"
TOOLS = json.dumps([{"name": "getWeather", "parameters": {"properties": {"cityName": {}}}},
                    {"name": "send_mail", "parameters": {"properties": {"to": {}}}}], indent=2)
QUERIES = ["What's the weather in Lisbon?", "mail bob the report", "héllo 世界"]

DOCS = {
    "load": "load(weights_path, vocab_path)\n--\n\nLoad from file paths.",
    "from_bytes": "from_bytes(weights_bytes, vocab_text)\n--\n\nLoad from in-memory bytes "
                  "(useful when the caller already has the weights buffered).",
    "run": "run($self, query, tools_json)\n--\n\n"
           "Run inference and return the final JSON tool-call string.",
    "run_stream": "run_stream($self, query, tools_json, callback)\n--\n\n"
                  "Run inference with a per-token callback, return the final JSON string.\n\n"
                  "`callback` is called as `callback(token_id: int, piece: str)` for each\n"
                  "generated token piece. The return value is the same post-processed string\n"
                  "as `run()`.",
    "run_batch": "run_batch($self, examples)\n--\n\n"
                 "Run inference on a batch of (query, tools_json) pairs.\n\n"
                 "Returns a list of result strings in the same order as the input.",
    "encode_contrastive": "encode_contrastive($self, text)\n--\n\n"
                          "Return the L2-normalised contrastive embedding for `text`, or None if\n"
                          "the loaded weights have no contrastive head.",
    "contrastive_dim": "contrastive_dim($self)\n--\n\n"
                       "Dimension of the contrastive embedding (0 if no contrastive head).",
    "retrieve_tools": "retrieve_tools($self, query, tool_descriptions, top_k)\n--\n\n"
                      "Rank `tool_descriptions` by cosine similarity to `query`.\n\n"
                      "Returns a list of `(index, score)` tuples sorted by descending score,\n"
                      "truncated to `top_k`. Returns an empty list if no contrastive head is\n"
                      "present in the loaded weights.",
}


class Written:
    def __init__(self, tmp, name, contrastive=(16, 8), **cfg):
        self.vocab = gen1.vocab_text_for(512)
        pieces = len(self.vocab.split("\n")) - (1 if self.vocab.endswith("\n") else 0)
        c = gen1.tiny_gen1(pieces).replace(**cfg)
        self.model = gen1.random_model(c, seed=5, contrastive=contrastive)
        self.weights = tmp / f"{name}.safetensors"
        self.vocab_path = tmp / f"{name}.vocab"
        self.data = gen1.write_gen1(self.weights, self.model)
        self.vocab_path.write_text(self.vocab, encoding="utf-8")
        self.ref = R.Gen1Reference(self.model)
        self.engine = P.load(str(self.weights), str(self.vocab_path))


@pytest.fixture(scope="module")
def tmp(tmp_path_factory):
    return tmp_path_factory.mktemp("gen1")


@pytest.fixture(scope="module")
def tiny(tmp):
    return Written(tmp, "tiny")


def test_docstrings_and_no_class_docstring():
    assert P.__doc__ is None
    assert sorted(n for n in vars(P) if not n.startswith("__")) == sorted(DOCS)
    for name, want in DOCS.items():
        fn = getattr(P, name)
        assert f"{name}{fn.__text_signature__}\n--\n\n{fn.__doc__}" == want, name


def test_generation_follows_the_reference_and_the_tools(tiny):
    eng = tiny.engine
    for q in QUERIES:
        seen = []
        text = eng.run_stream(q, TOOLS, lambda i, p: seen.append((i, p)))
        assert text == eng.run(q, TOOLS)
        ids = [i for i, _ in seen]
        assert 1 not in ids and len(ids) <= tiny.model.cfg.max_dec_len
        pieces = gen1.vocab_pieces(tiny.vocab)
        assert [p for _, p in seen] == [pieces[i].replace("\u2581", " ") for i in ids]
        # The model forms of the names, never the names as written, reach the
        # decoder; the output carries the names as written.
        assert "get_weather" not in text
        if '"name"' not in "".join(p for _, p in seen):
            # The constraint had nothing to act on: plain greedy decoding.
            assert ids == tiny.ref.greedy(gen1.vocab_encode(tiny.vocab, q),
                                          gen1.vocab_encode(tiny.vocab, _tools_text()))
    assert eng.run_batch([]) == []
    pairs = [(QUERIES[0], TOOLS), (QUERIES[1], "[]"), (QUERIES[0], TOOLS)]
    assert eng.run_batch(pairs) == [eng.run(a, b) for a, b in pairs]

    def raising(i, p):
        raise RuntimeError("ignored")
    assert eng.run_stream(QUERIES[0], TOOLS, raising) == eng.run(QUERIES[0], TOOLS)
    assert eng.run("", "") == ""  # nothing to encode


def _tools_text():
    # The rewrite to model forms, then compaction with the form feed dropped.
    from pinnet_tools.template import compact_tools_json
    return compact_tools_json(TOOLS.replace('"getWeather"', '"get_weather"'))


def test_contrastive_head(tiny, tmp):
    eng = tiny.engine
    dim = eng.contrastive_dim()
    assert dim == 8
    assert eng.encode_contrastive("") == [0.0] * dim
    emb = eng.encode_contrastive("get the weather " * 200)  # cut to max_enc_len
    assert math.isclose(math.fsum(x * x for x in emb), 1.0, rel_tol=1e-5)
    descs = ["weather in a city", "send an e-mail", "weather in a city"]
    ranked = eng.retrieve_tools("weather please", descs, 5)
    assert sorted(i for i, _ in ranked) == [0, 1, 2]
    scores = dict(ranked)
    assert scores[0] == scores[2] and [i for i, _ in ranked].index(0) < [i for i, _ in ranked].index(2)
    assert eng.retrieve_tools("x", descs, 0) == [] and eng.retrieve_tools("x", [], 3) == []
    bare = Written(tmp, "no-head", contrastive=None).engine
    assert bare.encode_contrastive("x") is None and bare.contrastive_dim() == 0
    assert bare.retrieve_tools("x", ["y"], 1) == []


def test_load_errors(tiny, tmp):
    with pytest.raises(OSError, match="^buffer too short$"):
        P.from_bytes(b"", "a\n")
    with pytest.raises(OSError):
        P.load(str(tmp / "missing.safetensors"), str(tiny.vocab_path))
    bad = tmp / "latin1.vocab"
    bad.write_bytes(b"caf\xe9\n")
    with pytest.raises(OSError, match="^stream did not contain valid UTF-8$"):
        P.load(str(tiny.weights), str(bad))
    with pytest.raises(OSError, match="more than vocab_size"):
        P.from_bytes(tiny.data, tiny.vocab + "extra\n")
    small = gen1.write_gen1(None, gen1.random_model(gen1.tiny_gen1(5), seed=1))
    with pytest.raises(OSError, match="vocab_size must be at least 6"):
        P.from_bytes(small, "a\nb\nc\nd\ne\n")
    assert P.from_bytes(tiny.data, tiny.vocab).run(QUERIES[0], TOOLS) == tiny.engine.run(QUERIES[0], TOOLS)
