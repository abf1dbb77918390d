"""Forced and drafted ids on the demo model: strict calls with both on give
the calls of the step-by-step path (set_speculation(False, False)) on held-out
and hand-written queries, at full depth and at 6 blocks, float and int8
key/value caches. Batched passes round their sums differently from single
steps, so only a near-tie could fall the other way; none does on these
queries (bench/speculation_agreement.cc measures the gap at any change)."""
import json

import pytest

import pinnet_rs
from pinnet_tools.models import DEMO_MODEL
from pinnet_tools.train import evaluate


def corpus():
    held = [(ex.query, json.dumps(ex.tools)) for ex in evaluate.held_out(25)]
    human = [(ex.query, json.dumps(ex.tools)) for ex in evaluate.human("demo_tools")[:25]]
    return held + human


@pytest.mark.parametrize("depth", [None, 6])
def test_forced_and_drafted_calls_equal_step_calls(depth):
    engine = (pinnet_rs.V3Engine.load(str(DEMO_MODEL)) if depth is None
              else pinnet_rs.V3Engine.load_with_depth(str(DEMO_MODEL), depth))
    assert engine.speculation() == {"forced": False, "drafts": False}  # PINNET_DRAFT unset
    for query, tools in corpus():
        engine.set_speculation(False, False)
        step = engine.call(query, tools)
        engine.set_speculation()
        fast = engine.call(query, tools)
        assert fast == step, query


def test_generate_with_drafts_equals_step_path():
    engine = pinnet_rs.V3Engine.load(str(DEMO_MODEL))
    for kv_int8 in (False, True):
        for query, tools in corpus()[::5]:
            engine.set_speculation(False, False)
            step = engine.generate(query, tools, max_new_tokens=96, kv_int8=kv_int8)
            engine.set_speculation(True, True)
            fast = engine.generate(query, tools, max_new_tokens=96, kv_int8=kv_int8)
            assert fast == step, query


def test_switches_read_back_and_sampling_is_unchanged():
    engine = pinnet_rs.V3Engine.load(str(DEMO_MODEL))
    query, tools = corpus()[0]
    engine.set_speculation(False, True)
    assert engine.speculation() == {"forced": False, "drafts": True}
    a = engine.call(query, tools, temperature=0.7, seed=3)
    engine.set_speculation(False, False)
    assert engine.call(query, tools, temperature=0.7, seed=3) == a
