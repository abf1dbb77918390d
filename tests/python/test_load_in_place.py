"""Loading costs what the model needs, not what the file holds: files are
mapped, so junk after a model (or a file that is no model) is never read,
and from_bytes reads the caller's bytes in place, holding a reference (or, for
generation 1, whose weights are all converted, converts them without a
whole copy)."""
import gc
import json
import os
import subprocess
import sys

import pytest

import pinnet_rs
from pinnet_tools import gen1, gen2, gen3

TOOLS = json.dumps([{"name": "get_weather", "parameters": {"properties": {"city": {"type": "string"}}}}])
QUERY = "weather in Lisbon?"
# Far below the 2 GiB of the files below; a tiny model loads in tens of MB.
RSS_BOUND_MB = 200


def write_models(tmp):
    """name -> (weights path, vocab path or None)."""
    m3, blob3 = gen3.build_preset("tiny-gen3")
    m3 = gen3.random_model(m3.geom.replace(max_seq_len=320), bits="mixed", groups="mixed")
    gen3.write_gen3(tmp / "v3.tesk", m3, blob3)
    blob2 = gen3.tokenizer_blob_for(512)
    g2 = gen2.tiny_gen2(int.from_bytes(blob2[:4], "little")).replace(max_seq_len=200)
    gen2.write_gen2(tmp / "v2.tesk", gen2.random_model(g2, bits="mixed", groups="mixed",
                                                       heads=gen2.heads_for("both", g2)), blob2)
    vocab = gen1.vocab_text_for(512)
    pieces = len(vocab.split("\n")) - (1 if vocab.endswith("\n") else 0)
    gen1.write_gen1(tmp / "g1.safetensors", gen1.random_model(gen1.tiny_gen1(pieces), seed=5))
    (tmp / "g1.vocab").write_text(vocab, encoding="utf-8")
    return {"V3Engine": (tmp / "v3.tesk", None), "V2Engine": (tmp / "v2.tesk", None),
            "PinnetEngine": (tmp / "g1.safetensors", tmp / "g1.vocab")}


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    return write_models(tmp_path_factory.mktemp("in_place"))


def answer(engine):
    if isinstance(engine, pinnet_rs.PinnetEngine):
        return engine.run(QUERY, TOOLS)
    return engine.generate(QUERY, TOOLS, max_new_tokens=8)["text"]


@pytest.mark.parametrize("name", ["V3Engine", "V2Engine", "PinnetEngine"])
def test_from_bytes_holds_the_callers_bytes(models, name):
    cls = getattr(pinnet_rs, name)
    weights, vocab = models[name]
    extra = (vocab.read_text(encoding="utf-8"),) if vocab else ()
    data = weights.read_bytes()
    refs = sys.getrefcount(data)
    engine = cls.from_bytes(data, *extra)
    # Held only where the runner reads the bytes in place.
    assert sys.getrefcount(data) == refs + (name != "PinnetEngine")
    del data
    gc.collect()
    loaded = cls.load(weights, *((vocab,) if vocab else ()))
    assert answer(engine) == answer(loaded)
    with pytest.raises(TypeError):
        cls.from_bytes(bytearray(weights.read_bytes()), *extra)


# Runs in a fresh interpreter so that its peak resident size is the load's.
PROBE = """
import sys, pinnet_rs
cls, how, weights, vocab = sys.argv[1:5]
extra = (vocab,) if vocab else ()
# This address space's peak (ru_maxrss would count the parent's at the fork).
def peak_mb():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:")) / 1024
base = 0.0
try:
    if how == "load":
        getattr(pinnet_rs, cls).load(weights, *extra)
    else:
        data = open(weights, "rb").read()
        base = peak_mb()
        getattr(pinnet_rs, cls).from_bytes(data, *(open(v, encoding="utf-8").read() for v in extra))
    outcome = "loaded"
except OSError as e:
    outcome = type(e).__name__
print(outcome, peak_mb() - base)
"""


def peak(cls, how, weights, vocab):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(pinnet_rs.__file__))
    out = subprocess.run([sys.executable, "-c", PROBE, cls, how, str(weights), str(vocab or "")],
                         env=env, capture_output=True, text=True, check=True).stdout.split()
    return out[0], float(out[1])


@pytest.mark.parametrize("name", ["V3Engine", "V2Engine", "PinnetEngine"])
def test_peak_memory_follows_the_model_not_the_file(models, name, tmp_path):
    weights, vocab = models[name]
    junk = tmp_path / "junk"
    junk.touch()
    os.truncate(junk, 2 << 30)  # sparse: costs no disk
    padded = tmp_path / weights.name
    padded.write_bytes(weights.read_bytes())
    os.truncate(padded, 2 << 30)
    # (how, file, outcome); from_bytes is measured beyond the bytes object.
    cases = [("load", junk, "OSError"), ("load", padded, "loaded")]
    if name == "V3Engine":
        in_memory = tmp_path / "in_memory.tesk"
        in_memory.write_bytes(weights.read_bytes())
        os.truncate(in_memory, 256 << 20)
        cases.append(("from_bytes", in_memory, "loaded"))
    for how, path, outcome in cases:
        got, mb = peak(name, how, path, vocab)
        assert (got, how, path.name) == (outcome, how, path.name)
        assert mb < RSS_BOUND_MB, (how, path.name, mb)
