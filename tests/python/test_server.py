"""The chat-completions server, started with `pinnet serve` and driven by the
real `openai` client: every reply is checked against the same request made
to the engine directly."""
import json
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest

openai = pytest.importorskip("openai")
pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
jsonschema = pytest.importorskip("jsonschema")

from doors import QUERY, TOOLS, start_server, write_models  # noqa: E402
from pinnet_tools.chat import Model  # noqa: E402

SYSTEM = "You call tools."


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    path = write_models(tmp_path_factory.mktemp("server"))[3]
    proc, base = start_server(path)
    client = openai.OpenAI(base_url=base + "/v1", api_key="unused", max_retries=0)
    yield client, Model(path), base
    proc.terminate()
    proc.wait(timeout=30)


def ask(client, **kw):
    kw.setdefault("messages", [{"role": "system", "content": SYSTEM},
                               {"role": "user", "content": QUERY}])
    return client.chat.completions.create(model="pinnet3", **kw)


def expected(model, tools=None, tool_choice="auto", max_tokens=None, temperature=0.0, seed=0):
    return model.answer(QUERY, tools, tool_choice, max_tokens, temperature, seed, SYSTEM)


def message_of_stream(chunks):
    content, reasoning, calls, finish = "", "", [], None
    for c in chunks:
        d = c.choices[0].delta
        content += d.content or ""
        reasoning += (d.model_extra or {}).get("reasoning_content") or ""
        calls += d.tool_calls or []
        finish = c.choices[0].finish_reason or finish
    return content or None, reasoning or None, calls, finish


CASES = [dict(max_tokens=12), dict(max_tokens=40, temperature=1.3, seed=4),
         dict(tools=TOOLS, tool_choice={"type": "function", "function": {"name": "set_timer"}}),
         dict(tools=TOOLS, tool_choice="required", temperature=0.9, seed=2),
         dict(tools=TOOLS, max_tokens=30)]


@pytest.mark.parametrize("case", CASES)
def test_replies_match_the_engine_whole_and_streamed(server, case):
    client, model, _ = server
    choice = case.get("tool_choice", "auto")
    want = expected(model, case.get("tools"), choice if isinstance(choice, str)
                    else choice["function"]["name"], case.get("max_tokens"),
                    case.get("temperature", 0.0), case.get("seed", 0))
    got = ask(client, **case)
    msg = got.choices[0].message
    assert got.choices[0].finish_reason == want.finish_reason
    assert (got.usage.prompt_tokens, got.usage.completion_tokens) == (want.prompt_tokens,
                                                                      want.completion_tokens)
    assert (msg.model_extra or {}).get("reasoning_content") == want.parts["reasoning"]
    if want.name is None:
        assert msg.tool_calls is None and msg.content == want.parts["content"]
    else:
        (call,) = msg.tool_calls
        arguments = json.loads(call.function.arguments)
        assert (call.function.name, arguments) == (want.name, want.arguments)
        schema = {t["function"]["name"]: t["function"]["parameters"] for t in TOOLS}
        jsonschema.validate(arguments, schema[want.name])
    if not isinstance(choice, str):
        assert want.name == choice["function"]["name"]
    content, reasoning, calls, finish = message_of_stream(ask(client, stream=True, **case))
    assert (content, reasoning, finish) == (msg.content, (msg.model_extra or {}).get(
        "reasoning_content"), got.choices[0].finish_reason)
    assert [(c.function.name, c.function.arguments) for c in calls] == \
        [(c.function.name, c.function.arguments) for c in msg.tool_calls or []]


def test_concurrent_requests_get_their_own_replies(server):
    client, _, _ = server
    settings = [dict(max_tokens=20, temperature=1.0, seed=s) for s in (1, 2)]
    alone = [ask(client, **s).choices[0].message.content for s in settings]
    with ThreadPoolExecutor(2) as pool:
        together = list(pool.map(lambda s: ask(client, **s).choices[0].message.content, settings))
    assert together == alone


def test_errors_are_api_error_objects(server):
    client, _, base = server
    with pytest.raises(openai.NotFoundError) as e:
        client.chat.completions.create(model="nope", messages=[{"role": "user", "content": "x"}])
    assert e.value.body["code"] == "model_not_found"
    with pytest.raises(openai.BadRequestError, match="not an offered tool"):
        ask(client, tools=TOOLS, tool_choice={"type": "function", "function": {"name": "x"}})
    # Client errors are 400 with the shared validation's code, never a 500.
    for bad, code in ((dict(tools="get_weather"), "invalid_tools"), (dict(max_tokens=-1), None),
                      (dict(messages=[]), None), (dict(n=2), None),
                      (dict(tools=[{"parameters": {}}]), "invalid_tools"),
                      (dict(temperature=-1), "invalid_value"),
                      (dict(messages=[{"role": "user", "content": [{"type": "text", "text": None}]}]),
                       None),
                      (dict(tools=TOOLS, tool_choice={"type": "function", "function": "set_timer"}),
                       None),
                      (dict(tools=[{"name": "deep", "parameters": json.loads("[" * 900 + "]" * 900)}]),
                       "invalid_tools"),
                      (dict(messages=[{"role": "user", "content": "x " * 3000}]),
                       "context_length_exceeded"),
                      (dict(messages=[{"role": "user", "content": "x " * 3000}], tools=TOOLS,
                            tool_choice="required"), "context_length_exceeded")):
        with pytest.raises(openai.BadRequestError) as e:
            ask(client, **bad)
        assert e.value.body["code"] == code, (bad, e.value.body)
    assert ask(client, max_tokens=0).usage.prompt_tokens > 0
    for body, status in ((b"{not json", 400), (b'{"model": "pinnet3", "messages": [{"role": '
                                                 b'"user", "content": "hi"}], "tools": [{}]}', 400)):
        req = urllib.request.Request(base + "/v1/chat/completions", data=body,
                                     headers={"Content-Type": "application/json"})
        with pytest.raises(urllib.error.HTTPError) as e:
            urllib.request.urlopen(req, timeout=30)
        assert e.value.code == status and "message" in json.loads(e.value.read())["error"]
    assert client.models.list().data[0].id == "pinnet3"
