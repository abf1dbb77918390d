"""pinnet_rs demo: the chat prompt a query is wrapped in, and the tool call and
reasoning pulled out of model completions."""
import json

import pinnet_rs
from pinnet_tools.template import build_prompt

tools = [
    {"name": "get_weather", "description": "Current weather for a city",
     "parameters": {"type": "object",
                    "properties": {"city": {"type": "string"}},
                    "required": ["city"]}},
]
query = "What's the weather in Lisbon?"

print("== The prompt the model reads (tools JSON compacted)")
print(build_prompt(query, json.dumps(tools, indent=2)))

completions = [
    '<think>\nThe user wants the weather; get_weather fits.\n</think>\n'
    '<tool_call>\n{"name": "get_weather", "arguments": {"city": "Lisbon"}}\n</tool_call>',
    "<think>No tool answers a greeting.</think><tool_call> [] </tool_call>",
    "<think>Out of budget before the call closed</think><tool_call>{\"name\": \"get_w",
    "Hello! How can I help?",
]
print("== Extraction from sample completions")
for text in completions:
    print(repr(text))
    print("   tool call:", repr(pinnet_rs.V3Engine.extract_tool_call(text)))
    print("   reasoning:", repr(pinnet_rs.V3Engine.reasoning(text)))
