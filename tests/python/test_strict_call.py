"""Strict tool calls judged by a real JSON Schema validator: every call the
scripted adversarial model makes on the tool-list corpus (the test program
strict_corpus_cli, tests/cpp/engine/strict_corpus_cli.cc, found or built by
support.programs), and every call random models make through `call` end to
end, parses and follows the chosen tool's parameters."""
import json
import subprocess

import jsonschema
import pytest

import pinnet_rs
from pinnet_tools import gen2, gen3
from support import programs
from threads import assert_threads_match_sequential

CLI = programs.find("strict_corpus_cli")
QUERY = "What should I call?"
# Used without the corpus program: realistic lists of the shapes the corpus has.
BUILTIN = [
    [{"name": "get_weather", "description": "Weather now",
      "parameters": {"type": "object", "properties": {
          "city": {"type": "string"}, "unit": {"enum": ["celsius", "fahrenheit"]},
          "days": {"type": "integer"}}, "required": ["city", "days"]}},
     {"name": "math.factorial", "parameters": {"properties": {"n": {"type": "int"}}}}],
    [{"type": "function", "function": {"name": "create_event", "parameters": {
        "type": "dict", "properties": {
            "title": {"type": "string"},
            "attendees": {"type": "list", "minItems": 1, "maxItems": 3, "items": {
                "type": "object", "properties": {"email": {"type": "string"},
                                                 "optional": {"type": "boolean"}},
                "required": ["email"]}},
            "when": {"anyOf": [{"type": "string"}, {"type": "number"}]},
            "note": {"type": ["string", "null"]}},
        "required": ["title", "attendees"]}}}],
    [{"name": "book \"quoted\" hotel", "parameters": {
        "city": {"type": "string", "enum": ["S\u00e3o Paulo", "Z\u00fcrich", "a\\b"]},
        "nights": {"type": "Integer"}}},
     {"name": "ping", "parameters": {"type": "object", "properties": {}}}],
]

TYPES = {"dict": "object", "str": "string", "float": "number", "double": "number",
         "int": "integer", "bool": "boolean", "list": "array", "tuple": "array"}
STANDARD = {"object", "string", "number", "integer", "boolean", "null", "array"}
DATA_KEYWORDS = {"enum", "const", "required", "minItems", "maxItems"}
SCHEMA_KEYWORDS = {"items", "anyOf", "oneOf", "additionalProperties"}


def standard(schema):
    """The schema in standard JSON Schema, reduced to the keywords the strict
    grammar follows: the loose type spellings mapped, types it reads as any
    value dropped, objects with declared properties closed to other keys, and
    oneOf read as anyOf (a value may fit several alternatives)."""
    if isinstance(schema, list):
        return [standard(s) for s in schema]
    if not isinstance(schema, dict):
        return schema
    out = {}
    for key, value in schema.items():
        if key == "type":
            names = [TYPES.get(str(n).lower(), str(n).lower())
                     for n in (value if isinstance(value, list) else [value])]
            if all(n in STANDARD for n in names):
                out[key] = names if isinstance(value, list) else names[0]
        elif key == "properties" and isinstance(value, dict):
            out[key] = {k: standard(v) for k, v in value.items()}
        elif key in DATA_KEYWORDS:
            out[key] = value
        elif key in SCHEMA_KEYWORDS:
            out["anyOf" if key == "oneOf" else key] = standard(value)
    if isinstance(out.get("properties"), dict):
        out.setdefault("additionalProperties", False)
    return out


def offered(tools):
    """name -> the arguments schema, first of each name, in standard form."""
    found = {}
    for tool in [tools] if isinstance(tools, dict) else tools:
        tool = tool.get("function", tool) if tool.get("type") == "function" else tool
        params = tool.get("parameters")
        if isinstance(params, dict) and params and all(
                isinstance(v, dict) for v in params.values()) and not (
                set(params) & {"type", "properties", "anyOf", "oneOf", "allOf", "enum", "const",
                               "additionalProperties", "required", "items", "$ref", "$schema"}):
            params = {"properties": params}  # bare properties
        schema = standard(params) if isinstance(params, dict) else {}
        kind = schema.get("type", "object")
        if "object" not in (kind if isinstance(kind, list) else [kind]) or not params:
            schema = {"type": "object", "maxProperties": 0}  # arguments are then {}
        else:
            schema.setdefault("additionalProperties", False)
        found.setdefault(tool["name"], schema)
    return found


def check_call(tools, name, arguments, only=None):
    schemas = offered(tools)
    assert name in schemas, name
    if only is not None:
        assert name == only
    jsonschema.validate(arguments, schemas[name])


def payload(text):
    start = text.index("<tool_call>") + len("<tool_call>")
    return json.loads(text[start:text.index("</tool_call>", start)])


def corpus():
    if not CLI:
        return BUILTIN
    out = subprocess.run([CLI, "lists"], check=True, capture_output=True, text=True).stdout
    return [json.loads(json.loads(line)) for line in out.splitlines()]


@pytest.mark.skipif(CLI is None, reason="test program strict_corpus_cli unavailable")
def test_scripted_adversary_calls_follow_their_schemas():
    out = subprocess.run([CLI, "calls"], check=True, capture_output=True, text=True).stdout
    calls = [json.loads(line) for line in out.splitlines()]
    assert len(calls) >= 400
    for c in calls:
        tools = json.loads(c["tools"])
        # A forced call may follow white space and a reasoning block.
        assert c["text"].lstrip().startswith(("<tool_call>", "<think>")), c
        call = payload(c["text"])
        assert list(call) == ["name", "arguments"], c
        check_call(tools, call["name"], call["arguments"],
                   None if c["choice"] == "required" else c["choice"])


@pytest.fixture(scope="module")
def engines(tmp_path_factory):
    # A context long enough for the corpus's longest prompts plus a call.
    tmp = tmp_path_factory.mktemp("strict")
    m3, blob = gen3.build_preset("tiny-gen3")
    gen3.write_gen3(tmp / "v3.tesk", gen3.random_model(m3.geom.replace(max_seq_len=2048)), blob)
    g2 = gen2.tiny_gen2(int.from_bytes(blob[:4], "little")).replace(max_seq_len=2048)
    gen2.write_gen2(tmp / "v2.tesk", gen2.random_model(g2), blob)
    return [pinnet_rs.V3Engine.load(str(tmp / "v3.tesk")),
            pinnet_rs.V2Engine.load(str(tmp / "v2.tesk"))]


def test_random_models_make_valid_calls(engines):
    lists = corpus()
    for engine in engines:
        for i, tools in enumerate(lists):
            last = offered(tools) and list(offered(tools))[-1]
            choice = "required" if i % 2 else last
            deltas = []
            r = engine.call(QUERY, tools, tool_choice=choice, max_new_tokens=160,
                            temperature=1.5, seed=i, on_delta=deltas.append)
            assert r["stop_reason"] != "NoAllowedToken", r
            assert "".join(deltas) == r["text"]
            assert payload(r["text"]) == {"name": r["name"], "arguments": r["arguments"]}
            check_call(tools, r["name"], r["arguments"], None if choice == "required" else choice)


def test_call_surface(engines):
    tools = BUILTIN[0]
    for engine in engines:
        as_list = engine.call(QUERY, tools, tool_choice="required", max_new_tokens=80)
        assert engine.call(QUERY, json.dumps(tools), "required", 80) == as_list
        none = engine.call(QUERY, tools, max_new_tokens=0)
        assert (none["name"], none["arguments"], none["stop_reason"]) == (None, None, "MaxTokens")
        # Token counts: the prompt is the same whatever the budget; a call cut
        # by its budget generated exactly the budget.
        assert none["completion_tokens"] == 0 and none["prompt_tokens"] == as_list["prompt_tokens"]
        cut = engine.call(QUERY, tools, max_new_tokens=3)
        assert (cut["stop_reason"], cut["completion_tokens"]) == ("MaxTokens", 3)
        if isinstance(engine, pinnet_rs.V2Engine):
            assert none["prompt_tokens"] == engine.generate(QUERY, json.dumps(tools), 0)["prompt_tokens"]
        with pytest.raises(ValueError, match="line 1 column 2"):
            engine.call(QUERY, "[}")
        with pytest.raises(ValueError, match="not an offered tool"):
            engine.call(QUERY, tools, tool_choice="get_time")
        with pytest.raises(TypeError):
            engine.call(QUERY, [{1, 2}])
        # A forced call that cannot be made raises, never returns without a call:
        # refused before any work, or found unclosed at the end of the budget.
        for query, budget, why in ((QUERY, 3, "max_new_tokens=3 is too small"),
                                   ("x " * 3000, 128, "leaves no room for a call"),
                                   (QUERY, 40, "did not close within max_new_tokens=40")):
            for choice in ("required", list(offered(tools))[0]):
                with pytest.raises(ValueError, match=why):
                    engine.call(query, tools, tool_choice=choice, max_new_tokens=budget)


def test_concurrent_calls_share_grammars_and_masks(engines):
    """Threads calling with the same tools share one compiled grammar and
    one memo of masks; each still gets exactly its sequential result."""
    lists = corpus()[:4]  # 3 without the corpus program
    assert_threads_match_sequential(
        lambda i: engines[0].call(QUERY, lists[i % len(lists)], tool_choice="required",
                                  max_new_tokens=96, temperature=1.0, seed=i),
        [(i,) for i in range(8)])


@pytest.mark.parametrize("settings", [dict(), dict(max_new_tokens=7, temperature=1.3, seed=5),
                                      dict(constrain=True, system="Be brief.")])
def test_generate_stream_is_generate_with_deltas(engines, settings):
    tools = json.dumps(BUILTIN[0])
    for engine in engines:
        deltas = []
        streamed = engine.generate_stream(QUERY, tools, deltas.append, **settings)
        assert streamed == engine.generate(QUERY, tools, **settings)
        assert "".join(deltas) == streamed["text"] and len(deltas) > 1
