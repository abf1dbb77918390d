"""The `pinnet` command: inspect a model file, run one query, or serve the
chat-completions API.

Exit status: 0 when the command did what was asked (for `run`: the model
made a call, or printed text with --raw), 1 when `run` ended without a call
(the model's reply then goes to stderr), 2 on bad input (a missing or
unreadable file, invalid JSON or tools, bad flags, a prompt too long for the
context, a forced call the budget cannot hold), with a one-line error on
stderr.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Optional

EPILOG = """examples:
  pinnet run "What's the weather in Lisbon?"   # the shipped demo model and its tools
  pinnet inspect model.tesk
  pinnet run model.tesk "Weather in Lisbon?" --tools tools.json --strict --stream
  pinnet serve model.tesk --port 8000   # then POST /v1/chat/completions"""


def _command(sub, name: str, summary: str, description: str) -> argparse.ArgumentParser:
    """A subcommand taking MODEL and the flags that choose how it is loaded."""
    p = sub.add_parser(name, help=summary, description=description)
    p.add_argument("model", metavar="MODEL", nargs="?", default=None,
                   help="a .tesk container (generation 3 or 2) or a generation-1 .safetensors "
                        "file (default: the shipped demo model)")
    p.add_argument("--vocab", metavar="PATH",
                   help="generation 1: the vocabulary text (default: MODEL with suffix .vocab)")
    p.add_argument("--depth", type=int, metavar="K",
                   help="generation 3: run the K-block rung of the depth ladder")
    p.add_argument("--compute", choices=("float", "int8"),
                   help="precision of the quantised products (default: $PINNET_COMPUTE, else float)")
    return p


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="pinnet", description="Run small tool-calling language models on the CPU.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = _command(sub, "inspect", "describe a model file",
                 "Generation, geometry, ladder rungs, heads, tokenizer, tensors by kind and "
                 "bit width, file size and key/value cache bytes.")
    p.add_argument("--json", action="store_true", help="print one JSON object")

    p = _command(sub, "run", "answer one query with a tool call",
                 "Print the tool call the model makes for QUERY (the payload between the "
                 "call markers), or the whole completion with --raw. Exit status 0 with a "
                 "call, 1 without one, 2 on bad input.")
    p.add_argument("query", metavar="QUERY", help="the user's request")
    p.add_argument("--tools", metavar="FILE",
                   help="JSON list of tools ('-' reads standard input; default, with the demo "
                        "model only: the demo's tools)")
    p.add_argument("--system", metavar="TEXT", help="a system prompt")
    p.add_argument("--strict", action="store_true",
                   help="strict decoding: the call's JSON parses and follows the tool's schema")
    p.add_argument("--tool-choice", default="auto", metavar="CHOICE",
                   help='with --strict: "auto", "required" or a tool\'s name (default auto)')
    p.add_argument("--stream", action="store_true", help="print as it is generated")
    p.add_argument("--raw", action="store_true", help="print the whole completion")
    p.add_argument("--reply-on-stdout", action="store_true",
                   help="without a call, print the model's reply on standard output "
                        "(default: standard error)")
    p.add_argument("--max-new-tokens", type=int, metavar="N",
                   help="generation budget (default: the engine's)")
    p.add_argument("--temperature", type=float, default=0.0, help="0 is greedy (default)")
    p.add_argument("--seed", type=int, default=0, help="sampling seed")

    p = _command(sub, "serve", "serve the chat-completions API over HTTP",
                 "Serve POST /v1/chat/completions, GET /v1/models and GET /health (needs "
                 "the server extra: pip install 'pinnet_rs[server]').")
    p.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8000, help="port (default 8000)")
    p.add_argument("--max-body-bytes", type=int, default=4 << 20, metavar="N",
                   help="refuse larger request bodies with 413 (default 4 MiB)")
    p.add_argument("--read-timeout", type=float, default=15.0, metavar="S",
                   help="seconds a client has to send its body, else 408 (default 15)")
    p.add_argument("--max-in-flight", type=int, default=16, metavar="N",
                   help="requests answered at once; more get 429 with Retry-After (default 16)")
    p.add_argument("--deadline", type=float, default=120.0, metavar="S",
                   help="seconds one request may generate for, else 503 (default 120)")
    return top


class UsageError(Exception):
    """Bad input: reported in one line, exit status 2."""


def _load(args):
    from .chat import Model, ModelError
    from .models import DEMO_MODEL
    try:
        return Model(args.model or str(DEMO_MODEL), depth=args.depth, compute=args.compute,
                     vocab=args.vocab)
    except (ModelError, ValueError) as e:  # ValueError: a depth or compute the engine refuses
        raise UsageError(str(e)) from None


def _read_tools(source: str) -> list:
    try:
        text = sys.stdin.read() if source == "-" else open(source, encoding="utf-8").read()
    except OSError as e:
        raise UsageError(f"cannot read {source}: {e.strerror}") from None
    try:
        tools = json.loads(text)
    except ValueError as e:
        raise UsageError(f"{source} is not valid JSON: {e}") from None
    if not isinstance(tools, list) or not all(isinstance(t, dict) for t in tools):
        raise UsageError(f"{source} must hold a JSON list of tool objects")
    return tools


class _Printer:
    """Writes what `run` prints, whole or as deltas, so both read the same:
    the call payload (or the whole completion with --raw) and a newline."""

    def __init__(self, raw: bool):
        from .chat import Splitter
        self.raw, self.splitter, self.wrote = raw, Splitter(), False

    def delta(self, text: str) -> None:
        if self.raw:
            self._write(text)
        else:
            self._parts(self.splitter.feed(text))

    def finish(self) -> None:
        if not self.raw:
            self._parts(self.splitter.close())

    def _parts(self, parts) -> None:
        for mode, text in parts:
            if mode == "call":
                self._write(text)

    def _write(self, text: str) -> None:
        sys.stdout.write(text)
        sys.stdout.flush()
        self.wrote = True


def _run(args) -> int:
    from .chat import RequestError
    if args.tool_choice != "auto" and not args.strict:
        raise UsageError("--tool-choice needs --strict")
    model = _load(args)
    if args.tools is None and args.model is not None:
        raise UsageError("--tools is needed with a model of your own")
    if args.tools is None:
        from .models import DEMO_TOOLS
        tools = _read_tools(str(DEMO_TOOLS))
    else:
        tools = _read_tools(args.tools)
        if not tools:
            raise UsageError(f"{args.tools} holds no tools")
    # Without --strict: plain generation with the tools in the prompt.
    choice = args.tool_choice if args.strict else "none"
    # A generation-1 completion is the call itself, without markers.
    printer = _Printer(args.raw or model.generation == 1)
    try:
        model.check(args.query, tools, args.tool_choice if args.strict else "auto",
                    args.max_new_tokens, args.temperature, args.system)
        reply = model.answer(args.query, tools, choice, args.max_new_tokens, args.temperature,
                             args.seed, args.system, printer.delta if args.stream else None)
    except RequestError as e:
        raise UsageError(f"{e} ({e.param})") from None
    if not args.stream:
        printer.delta(reply.text)
    printer.finish()
    if printer.wrote:
        sys.stdout.write("\n")
    has_call = reply.name is not None or reply.parts.get("call") is not None
    if has_call or (args.raw and reply.text):
        return 0
    # No call: show why, in the model's own words.
    said = reply.parts.get("content") or reply.parts.get("reasoning") or "(no reply)"
    print(f"pinnet: no tool call; the model said: {said}",
          file=sys.stdout if args.reply_on_stdout else sys.stderr)
    return 1


def _inspect(args) -> int:
    from .model_info import describe, render
    info = describe(_load(args))
    print(json.dumps(info, indent=2) if args.json else render(info))
    return 0


def _serve(args) -> int:
    try:
        from .server import Limits, serve
    except ImportError as e:
        raise UsageError(f"serving needs the server extra (pip install 'pinnet_rs[server]'): {e}")
    if min(args.max_body_bytes, args.max_in_flight) < 1 or min(args.read_timeout,
                                                               args.deadline) <= 0:
        raise UsageError("--max-body-bytes, --read-timeout, --max-in-flight and --deadline "
                         "must be positive")
    serve(_load(args), args.host, args.port,
          limits=Limits(args.max_body_bytes, args.read_timeout, args.max_in_flight, args.deadline))
    return 0


def main(argv: Optional[list] = None) -> int:
    args = parser().parse_args(argv)
    try:
        return {"inspect": _inspect, "run": _run, "serve": _serve}[args.command](args)
    except UsageError as e:
        print(f"pinnet: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`pinnet inspect MODEL | head`); point stdout at
        # nothing so the interpreter's final flush does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
