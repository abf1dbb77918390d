"""One model file behind one interface, for the command and the server.

`Model` opens a file of any generation and answers a turn (a query, an
optional system text and tools) with `Reply`: the tool call the model made,
the text around it, why it stopped and token counts. With tools offered, a
generation-3 or -2 model answers with a strictly decoded call (its arguments
always parse and follow the tool's schema); without tools it generates text.
A generation-1 model always writes one call, under its own constraint.

`Splitter` turns the completion text, whole or as it streams, into reasoning
(the `<think>` block), content (text outside it) and the call, so streamed
and whole replies read the same.
"""
from __future__ import annotations

import json
import os
import struct
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional

import pinnet_rs

from .template import THINK_CLOSE, THINK_OPEN, TOOL_CALL_CLOSE, TOOL_CALL_OPEN
from .tesk import TESK_MAGIC_V2, TESK_MAGIC_V3

_NEXT_MODE = {THINK_OPEN: "reasoning", THINK_CLOSE: "content",
              TOOL_CALL_OPEN: "call", TOOL_CALL_CLOSE: "content"}


class ModelError(ValueError):
    """A model file that cannot be opened; str() is a one-line reason."""


class RequestError(ValueError):
    """A turn that cannot be answered as asked: str() is a one-line reason,
    `param` the argument at fault and `code` a short machine-readable name
    ("invalid_tools", "invalid_tool_choice", "invalid_value",
    "context_length_exceeded"). The command exits 2 with it; the server
    answers 400 with it."""

    def __init__(self, message: str, param: str, code: str = "invalid_value"):
        super().__init__(message)
        self.param, self.code = param, code


# Deeper tool schemas than this are refused: no real tool nests so far, and
# the tools are walked recursively on the way to the engine.
MAX_TOOL_NESTING = 64
TOOL_CHOICES = ("auto", "required", "none")


def _engine_refusal(message: str) -> RequestError:
    """The engine's ValueError of a call as a RequestError: a forced call the
    budget or the context cannot hold, or tools its grammar refuses."""
    if "max_new_tokens" in message:
        return RequestError(message, "max_tokens")
    if "context" in message:
        return RequestError(message, "messages", "context_length_exceeded")
    return RequestError(message, "tools", "invalid_tools")


def plain_tool(tool: dict) -> dict:
    """The tool schema a model is shown: the chat-completions wrapper
    {"type": "function", "function": {...}} taken off."""
    inner = tool.get("function")
    if tool.get("type") == "function" and isinstance(inner, dict):
        return inner
    return tool


def _nesting(value) -> int:
    depth, level = 0, [value]
    while level:
        depth += 1
        if depth > MAX_TOOL_NESTING:
            break
        level = [v for x in level if isinstance(x, (dict, list))
                 for v in (x.values() if isinstance(x, dict) else x)]
    return depth


def check_tools(tools) -> list:
    """The tools as plain schemas, or RequestError saying what is wrong."""
    if not isinstance(tools, list) or not all(isinstance(t, dict) for t in tools):
        raise RequestError("tools must be a list of tool objects", "tools", "invalid_tools")
    plain = [plain_tool(t) for t in tools]
    for i, t in enumerate(plain):
        if not isinstance(t.get("name"), str) or not t["name"]:
            raise RequestError(f"tools[{i}] has no name", "tools", "invalid_tools")
    if _nesting(plain) > MAX_TOOL_NESTING:
        raise RequestError(f"tools nest deeper than {MAX_TOOL_NESTING} levels", "tools",
                           "invalid_tools")
    return plain


def generation_of(path: str | os.PathLike) -> int:
    """3 or 2 for a `.tesk` container of that version, 1 for a safetensors file."""
    try:
        with open(path, "rb") as f:
            head = f.read(9)
    except OSError as e:
        raise ModelError(f"cannot read {path}: {e.strerror}") from None
    tag = struct.unpack_from("<I", head)[0] if len(head) >= 4 else None
    if tag == TESK_MAGIC_V3:
        return 3
    if tag == TESK_MAGIC_V2:
        return 2
    if head[8:9] == b"{":  # safetensors: a little-endian header length, then "{"
        return 1
    raise ModelError(f"{path} is neither a .tesk container nor a safetensors file")


def vocab_beside(path: str | os.PathLike) -> Path:
    """The vocabulary text a generation-1 model is shipped with: same name, `.vocab`."""
    return Path(path).with_suffix(".vocab")


class _Trimmed:
    """One channel of the splitter: what it passes on concatenates to the
    channel's whole text with surrounding white space stripped, without
    waiting for the end (white space is held until text follows it)."""

    def __init__(self):
        self.started = False
        self.pending = ""

    def push(self, text: str) -> str:
        if not self.started:
            text = text.lstrip()
            if not text:
                return ""
            self.started = True
        text = self.pending + text
        body = text.rstrip()
        self.pending = text[len(body):]
        return body


class Splitter:
    """Routes completion text into ("reasoning" | "content" | "call", text)
    parts as it arrives; markers split across deltas are held until whole."""

    def __init__(self):
        self.mode = "content"
        self.held = ""
        self.channels = {"reasoning": _Trimmed(), "content": _Trimmed(), "call": _Trimmed()}

    def feed(self, text: str) -> list[tuple[str, str]]:
        self.held += text
        raw = []
        while True:
            hits = [(self.held.find(m), m) for m in _NEXT_MODE if m in self.held]
            if not hits:
                break
            at, marker = min(hits)
            raw.append((self.mode, self.held[:at]))
            self.mode = _NEXT_MODE[marker]
            self.held = self.held[at + len(marker):]
        keep = max((k for m in _NEXT_MODE for k in range(1, len(m))
                    if self.held.endswith(m[:k])), default=0)
        raw.append((self.mode, self.held[:len(self.held) - keep]))
        self.held = self.held[len(self.held) - keep:]
        return self._trimmed(raw)

    def close(self) -> list[tuple[str, str]]:
        rest, self.held = self.held, ""
        return self._trimmed([(self.mode, rest)])

    def _trimmed(self, raw):
        out = []
        for mode, text in raw:
            text = self.channels[mode].push(text) if text else ""
            if text:
                out.append((mode, text))
        return out


def split_text(text: str) -> dict[str, Optional[str]]:
    """The whole completion's reasoning, content and call text (None when empty)."""
    s = Splitter()
    parts = s.feed(text) + s.close()
    return {k: "".join(t for m, t in parts if m == k) or None
            for k in ("reasoning", "content", "call")}


@dataclass
class Reply:
    text: str                      # the whole completion
    name: Optional[str]            # the tool called, or None
    arguments: object              # its parsed arguments (None without a call)
    stop_reason: str
    prompt_tokens: int = 0
    completion_tokens: int = 0
    parts: dict = field(default_factory=dict)  # split_text(text)

    @property
    def finish_reason(self) -> str:
        if self.name is not None:
            return "tool_calls"
        return "length" if self.stop_reason in ("MaxTokens", "MaxSeqLen", "ContextFull") else "stop"


class Model:
    """An engine of the right class for `path`, with one way to answer."""

    def __init__(self, path: str | os.PathLike, depth: Optional[int] = None,
                 compute: Optional[str] = None, vocab: Optional[str | os.PathLike] = None):
        self.path = Path(path)
        self.name = self.path.stem
        self.generation = generation_of(path)
        compute = compute or os.environ.get("PINNET_COMPUTE") or "float"
        try:
            if self.generation == 3:
                self.engine = pinnet_rs.V3Engine.open(str(path), depth=depth, compute=compute)
            elif self.generation == 2:
                self.engine = pinnet_rs.V2Engine.open(str(path), compute=compute)
            else:
                self.vocab_path = Path(vocab) if vocab else vocab_beside(path)
                if not self.vocab_path.is_file():
                    raise ModelError(f"a generation-1 model needs its vocabulary: "
                                     f"{self.vocab_path} does not exist (pass --vocab)")
                self.engine = pinnet_rs.PinnetEngine.load(str(path), str(self.vocab_path))
        except (RuntimeError, OSError) as e:
            raise ModelError(f"cannot load {path}: {e}") from None

    def default_budget(self) -> int:
        return {3: 256, 2: 128}.get(self.generation, 0)

    def check(self, query: str, tools: Optional[list], tool_choice: str = "auto",
              max_tokens: Optional[int] = None, temperature: float = 0.0,
              system: Optional[str] = None) -> Optional[list]:
        """The one validation of a turn, for the command and the server: the
        tools (as plain schemas), the tool choice, the budget, the
        temperature and the prompt's room in the context. Raises
        RequestError; returns the plain tools (None without tools)."""
        plain = None if tools is None else check_tools(tools)
        if not isinstance(tool_choice, str) or not tool_choice:
            raise RequestError('tool_choice must be "auto", "required", "none" or a tool\'s name',
                               "tool_choice", "invalid_tool_choice")
        if tool_choice not in TOOL_CHOICES:
            if not plain or tool_choice not in {t["name"] for t in plain}:
                raise RequestError(f"tool_choice names `{tool_choice}`, which is not an offered "
                                   "tool", "tool_choice", "invalid_tool_choice")
        if tool_choice == "required" and not plain:
            raise RequestError('tool_choice "required" needs at least one tool', "tool_choice",
                               "invalid_tool_choice")
        if max_tokens is not None and (isinstance(max_tokens, bool) or
                                       not isinstance(max_tokens, int) or max_tokens < 0):
            raise RequestError("max_tokens must be an integer, 0 or more", "max_tokens")
        if (isinstance(temperature, bool) or not isinstance(temperature, (int, float))
                or not 0.0 <= temperature <= 2.0):
            raise RequestError("temperature must be a number from 0 to 2", "temperature")
        if self.generation != 1:
            budget = self.default_budget() if max_tokens is None else max_tokens
            prompt = self.engine.prompt_tokens(query, plain or [], system)
            limit = (self.engine.max_seq_len if self.generation == 3
                     else self.engine.config()["max_seq_len"])
            # Generation 3 cuts what does not fit; here a prompt that leaves
            # no room for the answer is refused, as the chat API does.
            if prompt is not None and prompt + min(budget, 1) > limit:
                raise RequestError(f"the prompt takes {prompt} ids of a context of {limit}, "
                                   "leaving no room for an answer", "messages",
                                   "context_length_exceeded")
        return plain

    def answer(self, query: str, tools: Optional[list] = None, tool_choice: str = "auto",
               max_tokens: Optional[int] = None, temperature: float = 0.0, seed: int = 0,
               system: Optional[str] = None,
               on_delta: Optional[Callable[[str], object]] = None,
               checked: bool = False) -> Reply:
        """One turn. `tools` are tool dicts (plain or wrapped); `tool_choice`
        "auto", "required", "none" or a tool's name; `on_delta(text)` gets
        the completion text as it is generated. ValueError for bad tools or
        a tool_choice naming no offered tool (RequestError, a ValueError, for
        every turn `check` refuses; `checked`: the caller has run it, and
        `tools` are the plain schemas it returned)."""
        if not checked:
            tools = self.check(query, tools, tool_choice, max_tokens, temperature, system)
        if self.generation == 1:
            return self._answer_gen1(query, tools or [], on_delta)
        budget = self.default_budget() if max_tokens is None else max_tokens
        if tools and tool_choice != "none":
            try:
                r = self.engine.call(query, tools, tool_choice, budget, temperature, seed, system,
                                     on_delta)
            except ValueError as e:
                raise _engine_refusal(str(e)) from None
            return Reply(r["text"], r["name"], r["arguments"], r["stop_reason"],
                         r["prompt_tokens"], r["completion_tokens"], split_text(r["text"]))
        # No tools to call: plain generation; a call the model writes anyway
        # is reported as text.
        tools_json = json.dumps(tools or [])
        if budget == 0 and self.generation == 3:
            # generate() reads 0 as its default budget; a budget of none is no text.
            prompt = self.engine.prompt_tokens(query, tools_json, system)
            return Reply("", None, None, "MaxTokens", prompt, 0, split_text(""))
        kwargs = dict(max_new_tokens=budget, temperature=temperature, seed=seed, system=system)
        if on_delta is None:
            g = self.engine.generate(query, tools_json, **kwargs)
        else:
            g = self.engine.generate_stream(query, tools_json, on_delta, **kwargs)
        prompt = g["prompt_tokens"] if "prompt_tokens" in g else g["positions"] - len(g["token_ids"])
        natural = g["stop_reason"] in ("Eos", "ImEnd")
        return Reply(g["text"], None, None, g["stop_reason"], prompt,
                     len(g["token_ids"]) + natural, split_text(g["text"]))

    def _answer_gen1(self, query, tools, on_delta) -> Reply:
        # The encoder-decoder writes the call's JSON itself, always constrained.
        tools_json = json.dumps(tools)
        if on_delta is None:
            text = self.engine.run(query, tools_json)
        else:
            text = self.engine.run_stream(query, tools_json, lambda _id, piece: on_delta(piece))
        try:
            call = json.loads(text)
        except ValueError:
            call = None
        name = call.get("name") if isinstance(call, dict) else None
        if not isinstance(name, str):
            name = None
        arguments = call.get("arguments", {}) if name else None
        return Reply(text, name, arguments, "Eos", 0, 0,
                     {"reasoning": None, "content": None if name else (text or None),
                      "call": text if name else None})
