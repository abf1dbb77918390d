"""The shipped demo model: the file its manifest describes, calling tools on
held-out queries through the engine (argument values never trained on, in
trained phrasings and in phrasings never trained on), at full depth and at 6
blocks, float and int8 cache, plain and strict.

The floors sit a few points below what the shipped model scored when it was
made (its manifest), so a broken runtime fails them while run-to-run
determinism of the model itself is not in question."""
import hashlib
import json
import subprocess
import sys

import pytest

import pinnet_rs
from pinnet_tools.models import DEMO_MODEL, demo_tools_json, manifest
from pinnet_tools.train import data, evaluate

COUNT = 100
# (split, setting) -> floors of (right tool, exact arguments, valid)
FLOORS = {
    ("held_out", "full"): (0.9, 0.73, 0.94),
    ("held_out", "full kv_int8"): (0.88, 0.74, 0.93),
    ("held_out", "full strict"): (0.91, 0.74, 0.95),
    ("held_out", "6 blocks"): (0.9, 0.73, 0.93),
    ("held_out", "6 blocks kv_int8"): (0.89, 0.73, 0.93),
    ("held_out", "6 blocks strict"): (0.92, 0.74, 0.95),
    ("held_out_values", "full"): (0.9, 0.77, 0.95),
    ("held_out_values", "full kv_int8"): (0.9, 0.77, 0.95),
    ("held_out_values", "full strict"): (0.9, 0.77, 0.95),
    ("held_out_values", "6 blocks"): (0.89, 0.77, 0.94),
    ("held_out_values", "6 blocks kv_int8"): (0.89, 0.77, 0.94),
    ("held_out_values", "6 blocks strict"): (0.9, 0.77, 0.95),
}


def test_manifest_describes_the_shipped_file():
    m = manifest()
    assert hashlib.sha256(DEMO_MODEL.read_bytes()).hexdigest() == m["sha256"]
    assert m["data_version"] == data.DATA_VERSION
    assert m["bytes"] == DEMO_MODEL.stat().st_size


@pytest.mark.parametrize("split", evaluate.SPLITS)
@pytest.mark.parametrize("name,depth,kv_int8,strict", evaluate.SETTINGS)
def test_held_out_scores(split, name, depth, kv_int8, strict):
    engine = (pinnet_rs.V3Engine.load(str(DEMO_MODEL)) if depth is None
              else pinnet_rs.V3Engine.load_with_depth(str(DEMO_MODEL), depth))
    got = evaluate.score(engine, evaluate.held_out(COUNT, split=split), kv_int8, strict)
    floor = dict(zip(("right_tool", "exact", "valid"), FLOORS[split, name]))
    assert all(got[k] >= floor[k] for k in floor), (split, name, got, floor)


def test_pinnet_run_defaults_to_the_demo_model():
    """`pinnet run QUERY` with no model and no tools answers with the demo."""
    out = subprocess.run([sys.executable, "-m", "pinnet_tools.cli", "run",
                          "What's the weather in Lisbon?"], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == {"name": "get_weather", "arguments": {"city": "Lisbon"}}
    assert any(t["name"] == "get_weather" for t in json.loads(demo_tools_json()))


def test_a_forced_choice_keeps_the_reasoning_and_the_call_it_leads_to():
    """Forcing a call removes the plain reply, not the reasoning block: where
    the model calls on its own, "required" and the name it chose give that
    same completion; where it declines, "required" still calls."""
    engine = pinnet_rs.V3Engine.load(str(DEMO_MODEL))
    called = 0
    for ex in evaluate.held_out(40, seed=3, split="held_out_values"):
        auto = engine.call(ex.query, ex.tools, tool_choice="auto")
        forced = [engine.call(ex.query, ex.tools, tool_choice="required")]
        if auto["name"] is None:
            assert forced[0]["name"] is not None, (ex.query, forced[0]["text"])
            continue
        called += 1
        forced.append(engine.call(ex.query, ex.tools, tool_choice=auto["name"]))
        for out in forced:
            assert out["text"].startswith("<think>"), (ex.query, out["text"])
            assert (out["text"], out["name"], out["arguments"]) == \
                (auto["text"], auto["name"], auto["arguments"]), ex.query
    assert called >= 30, called
