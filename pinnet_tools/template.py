"""The chat template and completion markers, written independently of the
runtime so tests can check the runtime against it."""

IM_START = "<|im_start|>"
IM_END = "<|im_end|>"
TOOL_CALL_OPEN, TOOL_CALL_CLOSE = "<tool_call>", "</tool_call>"
THINK_OPEN, THINK_CLOSE = "<think>", "</think>"

_JSON_SPACE = frozenset("\t\n\r ")


def compact_tools_json(tools_json: str) -> str:
    """Drops JSON whitespace outside strings; validates nothing."""
    out, in_string, escaped = [], False, False
    for c in tools_json:
        if not in_string:
            if c in _JSON_SPACE:
                continue
            in_string = c == '"'
        elif escaped:
            escaped = False
        elif c == "\\":
            escaped = True
        elif c == '"':
            in_string = False
        out.append(c)
    return "".join(out)


def build_prompt(query: str, tools_json: str, system=None) -> str:
    head = "" if system is None else f"{IM_START}system\n{system}{IM_END}\n"
    return (f"{head}{IM_START}user\n<tools>{compact_tools_json(tools_json)}</tools>\n"
            f"{query}{IM_END}\n{IM_START}assistant\n")


def scoring_text(query: str, tools_json: str, completion: str) -> str:
    return build_prompt(query, tools_json) + completion
