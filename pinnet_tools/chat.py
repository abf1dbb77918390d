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

    def answer(self, query: str, tools: Optional[list] = None, tool_choice: str = "auto",
               max_tokens: Optional[int] = None, temperature: float = 0.0, seed: int = 0,
               system: Optional[str] = None,
               on_delta: Optional[Callable[[str], object]] = None) -> Reply:
        """One turn. `tools` are tool dicts (plain or wrapped); `tool_choice`
        "auto", "required", "none" or a tool's name; `on_delta(text)` gets
        the completion text as it is generated. ValueError for bad tools or
        a tool_choice naming no offered tool."""
        if self.generation == 1:
            return self._answer_gen1(query, tools or [], on_delta)
        budget = self.default_budget() if max_tokens is None else max_tokens
        if tools and tool_choice != "none":
            r = self.engine.call(query, tools, tool_choice, budget, temperature, seed, system,
                                 on_delta)
            return Reply(r["text"], r["name"], r["arguments"], r["stop_reason"],
                         r["prompt_tokens"], r["completion_tokens"], split_text(r["text"]))
        # No tools to call: plain generation; a call the model writes anyway
        # is reported as text.
        tools_json = json.dumps(tools or [])
        if budget == 0 and self.generation == 3:
            # generate() reads 0 as its default budget; a budget of none is no text.
            return Reply("", None, None, "MaxTokens", 0, 0, split_text(""))
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
