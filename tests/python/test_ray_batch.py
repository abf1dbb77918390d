"""examples/ray_batch.py on a local Ray of 2 CPUs writes, line by line, what
the same engine answers in this process."""
import json
import os
import runpy
import subprocess
import sys

import pytest

pytest.importorskip("ray.data")

import pinnet_rs  # noqa: E402
import pinnet_tools  # noqa: E402
from pinnet_tools import gen2, gen3  # noqa: E402

RECIPE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "ray_batch.py")
parse_call = runpy.run_path(RECIPE)["parse_call"]
TOOLS = [{"name": "get_weather", "parameters": {"type": "object", "properties": {
            "city": {"type": "string"}, "unit": {"enum": ["c", "f"]}}, "required": ["city"]}},
         {"name": "getTime", "parameters": {"type": "object", "properties": {"tz": {"type": "string"}}}}]
QUERIES = [{"id": 0, "query": "Weather in Lisbon?"},
           {"id": "b", "query": "Quelle heure est-il à Zürich ?", "tools": TOOLS[1:]},
           {"query": "Time in Tokyo", "tools": json.dumps(TOOLS[:1])},
           {"id": 3, "query": "hello"}]


def gen3_plain_to_folder(path):
    gen3.write_gen3(path, *gen3.build_preset("tiny-gen3", seed=3, head=gen3.HeadSpec(code=3)))
    return pinnet_rs.V3Engine.open(path), []


def gen2_strict_int8_shipped(path):
    blob = gen3.tokenizer_blob_for(512)
    geom = gen2.tiny_gen2(int.from_bytes(blob[:4], "little")).replace(max_seq_len=512)
    gen2.write_gen2(path, gen2.random_model(geom, seed=3, heads=gen2.heads_for("both", geom)), blob)
    return pinnet_rs.V2Engine.open(path, compute="int8"), [
        "--generation", "2", "--strict", "--tool-choice", "required", "--compute", "int8",
        "--ship-model"]


def answer(engine, record):
    query, tools = record["query"], record.get("tools", TOOLS)
    tools = tools if isinstance(tools, str) else json.dumps(tools)
    if isinstance(engine, pinnet_rs.V3Engine):
        out, confidence = engine.run_scored(query, tools)
        call = parse_call(out["tool_call"])
    else:
        out = engine.call(query, tools, tool_choice="required")
        call = {"name": out["name"], "arguments": out["arguments"]}
        confidence = engine.confidence_for(query, tools, out["text"])
    assert confidence is not None
    return {"id": record.get("id"), "query": query, "call": call,
            "stop_reason": out["stop_reason"], "confidence": confidence}


@pytest.mark.parametrize("setup", [gen3_plain_to_folder, gen2_strict_int8_shipped])
def test_recipe_agrees_with_the_engine(setup, tmp_path):
    engine, flags = setup(tmp_path / "model.tesk")
    (tmp_path / "tools.json").write_text(json.dumps(TOOLS))
    (tmp_path / "in.jsonl").write_text("".join(json.dumps(q) + "\n" for q in QUERIES))
    # Ray's workers import the modules this process imported.
    path = [os.path.dirname(pinnet_rs.__file__), os.path.dirname(os.path.dirname(pinnet_tools.__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path + [os.environ.get("PYTHONPATH", "")]))
    # One output file written on the driver, or a folder the workers write.
    folder = setup is gen3_plain_to_folder
    out = tmp_path / ("out" if folder else "out.jsonl")
    subprocess.run([sys.executable, RECIPE, tmp_path / "model.tesk", tmp_path / "in.jsonl",
                    str(out) + ("/" if folder else ""), "--tools", tmp_path / "tools.json",
                    "--num-cpus", "2", "--batch-size", "1", *flags], env=env, check=True,
                   timeout=900)
    files = sorted(out.iterdir()) if folder else [out]
    lines = [line for f in files for line in f.read_text().splitlines()]
    assert [json.loads(line) for line in lines] == [answer(engine, q) for q in QUERIES]
