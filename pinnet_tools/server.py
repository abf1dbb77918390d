"""An HTTP server with the routes and shapes of the common chat-completions
API, on Starlette and uvicorn (`pip install pinnet_rs[server]`).

Routes: `POST /v1/chat/completions`, `GET /v1/models`, `GET /health`. A
request's system turns become the system text and its last user turn the
query; with `tools` the model answers with a strictly decoded call
(`tool_choice` "auto", "required", "none" or `{"type": "function",
"function": {"name": ...}}`). The `<think>` block comes back as the
message's `reasoning_content`. Each request runs on a worker thread (the
engine releases the interpreter lock), so requests run concurrently; errors
are that API's JSON error objects.
"""
from __future__ import annotations

import asyncio
import json
import threading
import time
import uuid
from dataclasses import dataclass
from typing import Any, Optional

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse, StreamingResponse
from starlette.routing import Route

from .chat import Model, Reply, RequestError, Splitter

# Bounds on what one request may ask for, so a request cannot hold a worker
# for longer than a long completion takes.
MAX_TOKENS_LIMIT = 4096
MAX_MESSAGES = 256
MAX_TOOLS = 256


@dataclass
class Limits:
    """What the server holds a client to; each has a `pinnet serve` flag."""
    max_body_bytes: int = 4 << 20   # a request body past this is refused (413)
    read_timeout: float = 15.0      # seconds to receive a whole body (else 408)
    max_in_flight: int = 16         # requests being answered at once (then 429)
    deadline: float = 120.0         # seconds one request may generate for (then 503)


class _Cancelled(KeyboardInterrupt):
    """Raised from the delta callback to end a generation early (the engine
    stops on a KeyboardInterrupt from its callback): the client went away or
    the request ran past its deadline."""


class ApiError(Exception):
    def __init__(self, status: int, message: str, param: Optional[str] = None,
                 code: Optional[str] = None, kind: str = "invalid_request_error"):
        super().__init__(message)
        self.status, self.message, self.param, self.code, self.kind = status, message, param, code, kind


def error_body(message: str, param=None, code=None, kind: str = "invalid_request_error") -> dict:
    return {"error": {"message": message, "type": kind, "param": param, "code": code}}


def error_response(status: int, message: str, param=None, code=None,
                   kind: str = "invalid_request_error") -> JSONResponse:
    return JSONResponse(error_body(message, param, code, kind), status_code=status)


def _need(cond: bool, message: str, param: Optional[str]) -> None:
    if not cond:
        raise ApiError(400, message, param)


class Turn:
    """A validated chat-completions request."""

    def __init__(self, body: Any, model: Model):
        _need(isinstance(body, dict), "the request body must be a JSON object", None)
        name = body.get("model")
        _need(isinstance(name, str), "`model` must be a string", "model")
        if name != model.name:
            raise ApiError(404, f"The model `{name}` does not exist", "model", "model_not_found")
        messages = body.get("messages")
        _need(isinstance(messages, list) and messages, "`messages` must be a non-empty list",
              "messages")
        _need(len(messages) <= MAX_MESSAGES, f"at most {MAX_MESSAGES} messages", "messages")
        system, user = [], None
        for i, m in enumerate(messages):
            _need(isinstance(m, dict) and isinstance(m.get("role"), str),
                  f"messages[{i}] must be an object with a `role`", "messages")
            content = _text_of(m.get("content"), i)
            if m["role"] in ("system", "developer"):
                system.append(content)
            elif m["role"] == "user":
                user = content
        _need(user is not None, "`messages` has no user turn", "messages")
        self.query = user
        self.system = "\n".join(system) if system else None
        tools = body.get("tools")
        _need(not isinstance(tools, list) or len(tools) <= MAX_TOOLS,
              f"at most {MAX_TOOLS} tools", "tools")
        self.tool_choice = _tool_choice(body.get("tool_choice", "auto"))
        limit = body.get("max_completion_tokens", body.get("max_tokens"))
        _need(limit is None or (_is_int(limit) and 0 <= limit <= MAX_TOKENS_LIMIT),
              f"`max_tokens` must be an integer from 0 to {MAX_TOKENS_LIMIT}", "max_tokens")
        self.max_tokens = limit
        temperature = body.get("temperature")
        self.temperature = 0.0 if temperature is None else temperature  # checked below
        seed = body.get("seed", 0)
        _need(seed is None or _is_int(seed), "`seed` must be an integer", "seed")
        self.seed = (seed or 0) % (1 << 64)
        stream = body.get("stream", False)
        _need(stream is None or isinstance(stream, bool), "`stream` must be a boolean", "stream")
        self.stream = bool(stream)
        _need(body.get("n", 1) in (1, None), "only one choice per request (`n` 1) is served", "n")
        # The checks the command shares: tools, choice, budget, temperature
        # and the prompt's room in the context.
        try:
            self.tools = model.check(self.query, tools if tools != [] else None, self.tool_choice,
                                     self.max_tokens, self.temperature, self.system)
        except RequestError as e:
            raise ApiError(400, str(e), e.param, e.code) from None

    def run(self, model: Model, on_delta=None, stop: Optional[threading.Event] = None) -> Reply:
        """Answers on the calling (worker) thread; `stop` set ends the
        generation at its next id."""
        def delta(text: str) -> None:
            if stop is not None and stop.is_set():
                raise _Cancelled()
            if on_delta is not None:
                on_delta(text)
        try:
            return model.answer(self.query, self.tools, self.tool_choice, self.max_tokens,
                                self.temperature, self.seed, self.system,
                                delta if (on_delta or stop) else None, checked=True)
        except RequestError as e:  # a forced call the engine finds it cannot make
            raise ApiError(400, str(e), e.param, e.code) from None
        except _Cancelled:
            raise ApiError(503, "the request was stopped before it finished (the client went "
                           "away or it ran past its deadline)", None, "deadline_exceeded",
                           "server_error") from None


def _is_int(v) -> bool:
    return isinstance(v, int) and not isinstance(v, bool)


def _text_of(content, i: int) -> str:
    if content is None:
        return ""
    if isinstance(content, str):
        return content
    # The list-of-parts form: only text parts carry anything for this model.
    _need(isinstance(content, list) and all(isinstance(p, dict) for p in content),
          f"messages[{i}].content must be a string or a list of parts", "messages")
    texts = [p.get("text") for p in content if p.get("type") == "text"]
    _need(all(isinstance(t, str) for t in texts),
          f"messages[{i}].content: a text part's `text` must be a string", "messages")
    return "".join(texts)


def _tool_choice(choice) -> str:
    if isinstance(choice, str) and choice in ("auto", "required", "none"):
        return choice
    if isinstance(choice, dict) and isinstance(choice.get("function"), dict):
        name = choice["function"].get("name")
        if isinstance(name, str):
            return name
    raise ApiError(400, '`tool_choice` must be "auto", "required", "none" or '
                   '{"type": "function", "function": {"name": ...}}', "tool_choice")


def _message(reply: Reply) -> dict:
    msg = {"role": "assistant", "content": None if reply.name else reply.parts.get("content")}
    if reply.parts.get("reasoning"):
        msg["reasoning_content"] = reply.parts["reasoning"]
    if reply.name is not None:
        msg["tool_calls"] = [_tool_call(reply)]
    return msg


def _tool_call(reply: Reply) -> dict:
    return {"id": "call_" + uuid.uuid4().hex[:24], "type": "function",
            "function": {"name": reply.name,
                         "arguments": json.dumps(reply.arguments, separators=(",", ":"))}}


def _usage(reply: Reply) -> dict:
    return {"prompt_tokens": reply.prompt_tokens, "completion_tokens": reply.completion_tokens,
            "total_tokens": reply.prompt_tokens + reply.completion_tokens}


async def _read_body(request: Request, limits: Limits) -> bytes:
    """The whole body within the size and time limits, or ApiError."""
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limits.max_body_bytes:
        raise ApiError(413, f"the request body is larger than {limits.max_body_bytes} bytes")

    async def read() -> bytes:
        chunks, size = [], 0
        try:
            async for chunk in request.stream():
                size += len(chunk)
                if size > limits.max_body_bytes:
                    raise ApiError(413, f"the request body is larger than "
                                   f"{limits.max_body_bytes} bytes")
                chunks.append(chunk)
        except ClientDisconnect:
            raise ApiError(400, "the client disconnected before its body arrived") from None
        return b"".join(chunks)
    try:
        return await asyncio.wait_for(read(), limits.read_timeout)
    except asyncio.TimeoutError:
        raise ApiError(408, f"the request body did not arrive within {limits.read_timeout:g} "
                       "seconds") from None


def create_app(model: Model, limits: Optional[Limits] = None) -> Starlette:
    limits = limits or Limits()
    in_flight = [0]  # requests being read or answered (touched on the event loop only)

    def envelope(kind: str) -> dict:
        return {"id": "chatcmpl-" + uuid.uuid4().hex, "object": kind,
                "created": int(time.time()), "model": model.name}

    async def guarded(request: Request, work, stop: threading.Event):
        """Runs `work` on a worker thread; sets `stop` when the client
        disconnects or the deadline passes, which ends the generation."""
        task = asyncio.ensure_future(run_in_threadpool(work))
        deadline = time.monotonic() + limits.deadline
        while not task.done():
            await asyncio.wait([task], timeout=0.25)
            if not task.done() and (time.monotonic() > deadline or await request.is_disconnected()):
                stop.set()
        return await task

    async def completions(request: Request):
        if in_flight[0] >= limits.max_in_flight:
            return JSONResponse(error_body(f"{limits.max_in_flight} requests are being answered; "
                                           "try again shortly", code="rate_limit_exceeded",
                                           kind="rate_limit_error"),
                                status_code=429, headers={"Retry-After": "1"})
        in_flight[0] += 1
        handed_off = False
        try:
            try:
                body = json.loads(await _read_body(request, limits))
            except ValueError as e:
                return error_response(400, f"the request body is not valid JSON: {e}")
            turn = Turn(body, model)
            stop = threading.Event()
            if turn.stream:
                handed_off = True  # the stream releases its slot when it ends
                return StreamingResponse(_stream(turn, stop), media_type="text/event-stream")
            reply = await guarded(request, lambda: turn.run(model, None, stop), stop)
        except ApiError as e:
            return error_response(e.status, e.message, e.param, e.code, e.kind)
        except RecursionError:
            return error_response(400, "the request body nests too deeply")
        finally:
            if not handed_off:
                in_flight[0] -= 1
        return JSONResponse({**envelope("chat.completion"),
                             "choices": [{"index": 0, "message": _message(reply),
                                          "finish_reason": reply.finish_reason}],
                             "usage": _usage(reply)})

    async def _stream(turn: Turn, stop: threading.Event):
        try:
            async for event in _events(turn, stop):
                yield event
        finally:
            # Also when the client disconnects mid-stream: the generation
            # stops at its next id.
            stop.set()
            in_flight[0] -= 1

    async def _events(turn: Turn, stop: threading.Event):
        # Deltas arrive on the worker thread; the queue hands them to this
        # coroutine, which turns them into chunks as they come.
        loop = asyncio.get_running_loop()
        queue: asyncio.Queue = asyncio.Queue()
        splitter = Splitter()

        def on_delta(text: str) -> None:
            loop.call_soon_threadsafe(queue.put_nowait, ("delta", text))

        def work():
            try:
                return turn.run(model, on_delta, stop)
            finally:
                loop.call_soon_threadsafe(queue.put_nowait, ("done", None))

        head = envelope("chat.completion.chunk")

        def chunk(delta: dict, finish=None, **extra) -> str:
            body = {**head, "choices": [{"index": 0, "delta": delta, "finish_reason": finish}],
                    **extra}
            return f"data: {json.dumps(body)}\n\n"

        task = asyncio.ensure_future(run_in_threadpool(work))
        deadline = time.monotonic() + limits.deadline
        yield chunk({"role": "assistant", "content": ""})
        while True:
            try:
                kind, text = await asyncio.wait_for(queue.get(), 0.5)
            except asyncio.TimeoutError:
                if time.monotonic() > deadline:
                    stop.set()
                continue
            parts = splitter.feed(text) if kind == "delta" else splitter.close()
            for mode, part in parts:
                if mode != "call":  # the call goes out whole, parsed, at the end
                    yield chunk({"content" if mode == "content" else "reasoning_content": part})
            if kind == "done":
                break
        try:
            reply = await task
        except ApiError as e:
            yield f"data: {json.dumps(error_body(e.message, e.param, e.code, e.kind))}\n\n"
            yield "data: [DONE]\n\n"
            return
        if reply.name is not None:
            yield chunk({"tool_calls": [{"index": 0, **_tool_call(reply)}]})
        yield chunk({}, reply.finish_reason, usage=_usage(reply))
        yield "data: [DONE]\n\n"

    async def models(request: Request):
        return JSONResponse({"object": "list", "data": [
            {"id": model.name, "object": "model", "created": int(model.path.stat().st_mtime),
             "owned_by": "pinnet_rs"}]})

    async def health(request: Request):
        return JSONResponse({"status": "ok", "model": model.name, "in_flight": in_flight[0]})

    async def http_error(request: Request, exc: HTTPException):
        return error_response(exc.status_code, exc.detail or "error",
                              code="not_found" if exc.status_code == 404 else None)

    async def server_error(request: Request, exc: Exception):
        return error_response(500, f"internal error: {type(exc).__name__}: {exc}",
                              kind="server_error")

    return Starlette(routes=[Route("/v1/chat/completions", completions, methods=["POST"]),
                             Route("/v1/models", models, methods=["GET"]),
                             Route("/health", health, methods=["GET"])],
                     exception_handlers={HTTPException: http_error, Exception: server_error})


def serve(model: Model, host: str = "127.0.0.1", port: int = 8000, log_level: str = "info",
          limits: Optional[Limits] = None) -> None:
    """Serves until SIGTERM or SIGINT, then finishes the requests in flight
    (each bounded by its deadline) and returns."""
    import contextlib
    import signal

    import uvicorn

    class Server(uvicorn.Server):
        # A stop asked by signal ends serve() normally (exit status 0), where
        # uvicorn would raise the signal again once it has shut down.
        @contextlib.contextmanager
        def capture_signals(self):
            def stop(signum, frame):
                self.should_exit = True
            old = {sig: signal.signal(sig, stop) for sig in (signal.SIGINT, signal.SIGTERM)}
            try:
                yield
            finally:
                for sig, handler in old.items():
                    signal.signal(sig, handler)

    limits = limits or Limits()
    Server(uvicorn.Config(create_app(model, limits), host=host, port=port, log_level=log_level,
                          timeout_graceful_shutdown=int(limits.deadline) + 5)).run()
