"""pinnet_rs demo: the shipped demo model making real tool calls, then every
kind of call of the three engine classes.

The first part runs the small trained generation-3 model that ships with the
tools (`pinnet_tools/models/demo-gen3.tesk`). The rest writes small models
with RANDOM weights to show what each call returns: their completions are
gibberish, by design."""
import json
import os
import tempfile

import pinnet_rs
from pinnet_tools import gen3
from pinnet_tools.models import DEMO_MODEL, demo_tools_json

demo_tools = demo_tools_json()
names = [t["name"] for t in json.loads(demo_tools)]
demo = pinnet_rs.V3Engine.load(str(DEMO_MODEL))
print(f"The shipped demo model: {demo.num_layers} trained blocks, "
      f"{os.path.getsize(DEMO_MODEL) / 1024:.0f} KiB, offered {len(names)} tools: {', '.join(names)}\n")
for q in ("What's the weather in Lisbon?", "Set a timer for 25 minutes",
          "Email Priya Chen about the contract",
          "Add the workshop to my calendar on Friday at 3:15 pm",
          'Translate "see you tomorrow" into Italian',
          "Lock the front door",                       # no offered tool fits: a reply
          "What's the weather in Reykjavik?"):         # a city it never saw in training
    out = demo.generate(q, demo_tools, max_new_tokens=96)
    print(f"{q!r}\n  -> {out['tool_call'] if out['tool_call'] is not None else out['text']!r}")
print("(values it never saw in training come out exactly in about half of the calls; see the README)")

call = demo.call("Send Omar Haddad an email about the party", demo_tools)
print("\ncall('Send Omar Haddad an email about the party') (strict: the arguments follow the schema) ->",
      call["name"], call["arguments"])
six = pinnet_rs.V3Engine.load_with_depth(str(DEMO_MODEL), 6)
print("load_with_depth(demo, 6).run_json('Set a timer for 40 minutes') ->",
      six.run_json("Set a timer for 40 minutes", demo_tools))

print("\nThe rest of the API, on random models.\n")
tools = [
    {"name": "get_weather", "description": "Current weather for a city",
     "parameters": {"type": "object",
                    "properties": {"city": {"type": "string"},
                                   "unit": {"type": "string", "enum": ["c", "f"]}},
                    "required": ["city"]}},
    {"name": "getTime", "description": "Local time in a time zone",
     "parameters": {"type": "object", "properties": {"tz": {"type": "string"}}}},
]
tools_json = json.dumps(tools, indent=2)
query = "What's the weather in Lisbon?"

print("Writing a small random generation-3 model (12 blocks, d_model 64, 512-piece vocabulary,")
print("confidence head). Its weights are random, so expect gibberish completions.\n")
model, blob = gen3.build_preset("small-gen3", seed=7, head=gen3.HeadSpec(code=3))
path = os.path.join(tempfile.mkdtemp(), "demo.tesk")
gen3.write_gen3(path, model, blob)

engine = pinnet_rs.V3Engine.load(path)
print(f"V3Engine.load: {engine.num_layers} blocks, context {engine.max_seq_len} tokens, "
      f"confidence head: {engine.has_confidence()}\n")

print("run_json(query, tools) ->", repr(engine.run_json(query, tools_json)))

out = engine.generate(query, tools_json, max_new_tokens=24, temperature=0.8, seed=1)
print("\ngenerate(..., max_new_tokens=24, temperature=0.8, seed=1) ->")
for key, value in out.items():
    print(f"  {key}: {value!r}")

out = engine.generate(query, tools_json, max_new_tokens=24, constrain=True, kv_int8=True)
print("\ngenerate(..., constrain=True, kv_int8=True) -> stop_reason", repr(out["stop_reason"]),
      "positions", out["positions"])

pieces = []
text = engine.run_stream(query, tools_json, pieces.append)
print(f"\nrun_stream: {len(pieces)} deltas; joined == returned text: {''.join(pieces) == text}")
print("  first deltas:", pieces[:6])

result, confidence = engine.run_scored(query, tools_json)
print("\nrun_scored ->", {k: result[k] for k in ("tool_call", "stop_reason")},
      "confidence", round(confidence, 4))

completion = '<think>weather</think><tool_call>{"name": "get_weather", "arguments": {"city": "Lisbon"}}</tool_call>'
print("confidence_for(a hand-written completion) ->",
      round(engine.confidence_for(query, tools_json, completion), 4))
print("extract_tool_call ->", repr(pinnet_rs.V3Engine.extract_tool_call(completion)))
print("reasoning ->", repr(pinnet_rs.V3Engine.reasoning(completion)))

print("\nStrict tool calls: even random weights write a call that parses and follows the schema.")
for choice in ("required", "get_weather"):
    call = engine.call(query, json.loads(tools_json), tool_choice=choice, max_new_tokens=96)
    print(f"call(..., tool_choice={choice!r}) -> name {call['name']!r}, "
          f"arguments {call['arguments']!r}, stop_reason {call['stop_reason']!r}")
fast = pinnet_rs.V3Engine.open(path, compute="int8")
print("open(path, compute='int8').run_json ->", repr(fast.run_json(query, tools_json)))

print("\nkv_bytes(1024) ->", engine.kv_bytes(1024),
      " kv_bytes(1024, kv_int8=True) ->", engine.kv_bytes(1024, kv_int8=True))

for depth in (2, 6):
    rung = pinnet_rs.V3Engine.load_with_depth(path, depth)
    print(f"load_with_depth(path, {depth}): num_layers {rung.num_layers}, "
          f"kv_bytes(1024) {rung.kv_bytes(1024)}, run_json -> {rung.run_json(query, tools_json)!r}")
try:
    pinnet_rs.V3Engine.load_with_depth(path, 1)
except ValueError as e:
    print("load_with_depth(path, 1) -> ValueError:", e)

print("\nGeneration 2: a tiny random model with a contrastive and a confidence head.")
from pinnet_tools import gen2  # noqa: E402

blob2 = gen3.tokenizer_blob_for(512)
geom2 = gen2.tiny_gen2(int.from_bytes(blob2[:4], "little")).replace(max_seq_len=256)
model2 = gen2.random_model(geom2, seed=7, bits="mixed", groups="mixed",
                           heads=gen2.heads_for("both", geom2))
path2 = os.path.join(tempfile.mkdtemp(), "demo2.tesk")
gen2.write_gen2(path2, model2, blob2)
v2 = pinnet_rs.V2Engine.load(path2)
print("V2Engine.config() ->", v2.config())
out = v2.generate(query, tools_json, max_new_tokens=16)
print("generate(..., max_new_tokens=16) ->", {k: out[k] for k in
                                             ("prompt_tokens", "stop_reason", "stopped_naturally")})
streamed = []
v2.run_stream(query, tools_json, lambda token_id, piece: streamed.append((token_id, piece)))
print("run_stream: first (token_id, piece) calls", streamed[:4])
print("run_batch of two pairs ->", [len(t) for t in v2.run_batch([(query, tools_json)] * 2)],
      "characters each")
descriptions = [t["description"] for t in tools] + ["Send an e-mail"]
print("retrieve_tools(query, descriptions, 2) ->", v2.retrieve_tools(query, descriptions, 2))
print("contrastive_dim() ->", v2.contrastive_dim(),
      " confidence_for(query, tools, completion) ->",
      round(v2.confidence_for(query, tools_json, completion), 4))

print("\nGeneration 1: a tiny random encoder-decoder (safetensors weights, vocabulary text).")
from pinnet_tools import gen1  # noqa: E402

vocab1 = gen1.vocab_text_for(512)
model1 = gen1.random_model(gen1.tiny_gen1(len(gen1.vocab_pieces(vocab1))), seed=7,
                           contrastive=(16, 8))
v1 = pinnet_rs.PinnetEngine.from_bytes(gen1.write_gen1(None, model1), vocab1)
print("run(query, tools) ->", repr(v1.run(query, tools_json)[:60]), "(always constrained)")
print("retrieve_tools(query, descriptions, 2) ->", v1.retrieve_tools(query, descriptions, 2))
