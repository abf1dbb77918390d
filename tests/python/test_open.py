"""open(): one loader over paths, path-likes and bytes, with the compute
precision chosen per engine (or by PINNET_COMPUTE). The int8 products
themselves are checked against the float path in test_gen3_int8 and cq_test;
here the choice must reach the model, and float must be what load() gives."""
import json
import os
import subprocess
import sys

import pytest

import pinnet_rs
from pinnet_tools import gen3
from test_load_in_place import QUERY, TOOLS, write_models

COMPLETION = '<tool_call>\n{"name": "get_weather", "arguments": {"city": "Lisbon"}}\n</tool_call>'
CLASSES = ["V3Engine", "V2Engine"]


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    found = write_models(tmp_path_factory.mktemp("open"))
    # Again, with a confidence head, and values 2048 wide so the head's pass
    # over the prompt runs an integer product (narrower batched inputs take
    # the float kernel).
    m3, blob3 = gen3.build_preset("tiny-gen3")
    m3 = gen3.random_model(m3.geom.replace(max_seq_len=320, v_head_dim=512), bits="mixed",
                           groups="mixed", head=gen3.HeadSpec())
    gen3.write_gen3(found["V3Engine"][0], m3, blob3)
    return found


def fingerprint(engine):
    # The score comes from a pass that runs integer products under int8: a
    # batch under 16 positions (V2) or one with a 2048-wide input (V3).
    score = (engine.confidence_probability("Weather in Lisbon?")
             if isinstance(engine, pinnet_rs.V2Engine)
             else engine.confidence_for(QUERY, TOOLS, COMPLETION))
    return engine.generate(QUERY, TOOLS, max_new_tokens=6)["text"], score


@pytest.mark.parametrize("name", CLASSES)
def test_sources_and_compute_reach_the_model(models, name):
    cls = getattr(pinnet_rs, name)
    path = models[name][0]
    want = fingerprint(cls.load(str(path)))
    for source in (str(path), path, path.read_bytes()):
        assert fingerprint(cls.open(source, compute="float")) == want
    text, conf = fingerprint(cls.open(path, compute="INT8"))
    assert isinstance(text, str)
    # Close to the float head's value, but computed by other products.
    assert conf != want[1] and abs(conf - want[1]) < 0.05


def test_depth_matches_load_with_depth(models):
    path = str(models["V3Engine"][0])
    assert (fingerprint(pinnet_rs.V3Engine.open(path, depth=2))
            == fingerprint(pinnet_rs.V3Engine.load_with_depth(path, 2)))
    assert (fingerprint(pinnet_rs.V3Engine.open(path, None))
            == fingerprint(pinnet_rs.V3Engine.load(path)))


@pytest.mark.parametrize("call, error", [
    (lambda p: pinnet_rs.V3Engine.open(p, compute="int4"), ValueError),
    (lambda p: pinnet_rs.V3Engine.open(p, compute=8), TypeError),
    (lambda p: pinnet_rs.V3Engine.open(p, depth=99), OSError),
    (lambda p: pinnet_rs.V3Engine.open(p, depth=-1), OverflowError),
    (lambda p: pinnet_rs.V3Engine.open(123), TypeError),
    (lambda p: pinnet_rs.V3Engine.open(str(p) + ".missing"), FileNotFoundError),
    (lambda p: pinnet_rs.V2Engine.open(p, depth=2), TypeError),
])
def test_bad_arguments_raise(models, call, error):
    with pytest.raises(error):
        call(models["V3Engine"][0])


def test_environment_sets_the_default(models):
    path = str(models["V3Engine"][0])
    script = (
        "import sys, json, pinnet_rs\n"
        "from test_open import fingerprint\n"
        "E, p = pinnet_rs.V3Engine, sys.argv[1]\n"
        "print(json.dumps([fingerprint(E.load(p)) == fingerprint(E.open(p, compute='int8')),\n"
        "                  fingerprint(E.open(p)) == fingerprint(E.open(p, compute='int8')),\n"
        "                  fingerprint(E.open(p, compute='float')) != fingerprint(E.load(p))]))\n")
    env = dict(os.environ, PINNET_COMPUTE="int8",
               PYTHONPATH=os.pathsep.join([os.path.dirname(__file__)] + sys.path))
    out = subprocess.run([sys.executable, "-c", script, path], env=env, check=True,
                         capture_output=True, text=True).stdout
    assert json.loads(out) == [True, True, True]
