"""V2Engine without a model: docstrings, argument conversion, load failures.
End-to-end behaviour needs generation-2 containers and is tested elsewhere."""
import pytest

import pinnet_rs
from support import programs

V2 = pinnet_rs.V2Engine
DASH = "\u2014"

DOCS = {
    "load": "load(tesk_path)\n--\n\nLoad a `.tesk` model from disk.",
    "from_bytes": "from_bytes(tesk_bytes)\n--\n\nLoad a `.tesk` model from an in-memory image.",
    "run": "run($self, query, tools_json)\n--\n\nGreedy tool call. Returns the full decoded text.",
    "run_json": "run_json($self, query, tools_json)\n--\n\n"
                "Just the `<tool_call>` payload, or None if the model emitted no call.",
    "generate": "generate($self, query, tools_json, max_new_tokens=128, temperature=0.0, seed=0, "
                "system=None, constrain=False)\n--\n\nGeneration with explicit settings.\n\n"
                "Returns a dict: `text`, `tool_call`, `thinking`, `token_ids`,\n"
                "`prompt_tokens`, `stop_reason`.",
    "run_stream": "run_stream($self, query, tools_json, callback)\n--\n\n"
                  "Streaming generation. `callback(token_id: int, piece: str)` per token.",
    "run_batch": "run_batch($self, examples)\n--\n\n"
                 "Run several queries in sequence, reusing one KV cache.",
    "encode_contrastive": "encode_contrastive($self, text)\n--\n\n"
                          "L2-normalised contrastive embedding, or None without such a head.",
    "contrastive_dim": "contrastive_dim($self)\n--\n\n"
                       "Width of the contrastive embedding (0 if absent).",
    "retrieve_tools": "retrieve_tools($self, query, tool_descriptions, top_k)\n--\n\n"
                      "Rank tool descriptions by cosine similarity to `query`.",
    "confidence_for": "confidence_for($self, query, tools_json, completion)\n--\n\n"
                      "Probability in (0, 1) that `completion` is the right answer for this\n"
                      "query, or None without a confidence head.\n\n"
                      "The confidence head scores a judgement already made, so it needs the\n"
                      f"completion: pass what `run()` returned. Gate on it {DASH} act above a\n"
                      "threshold you pick, escalate below it.",
    "confidence": "confidence($self, text)\n--\n\n"
                  "Raw confidence logit for an arbitrary string, or None without the head.\n\n"
                  "The primitive. A bare query reads near zero however answerable it is,\n"
                  f"because the completion is what gets scored {DASH} prefer `confidence_for`.",
    "confidence_probability": "confidence_probability($self, text)\n--\n\n"
                              "`confidence()` as a probability in (0, 1).",
    "config": "config($self)\n--\n\nModel geometry, as a dict.",
}


# Methods beyond the specified surface, documented on their own.
BEYOND = {"open", "call", "generate_stream", "prompt_tokens", "set_prefix_cache_bytes",
          "clear_prefix_cache", "prefix_cache_info", "set_speculation", "speculation"}


def test_docstrings_start_with_their_text_signature():
    assert sorted(n for n in vars(V2) if not n.startswith("__")) == sorted({*DOCS, *BEYOND})
    for name, want in DOCS.items():
        fn = getattr(V2, name)
        # The interpreter splits the signature line off the docstring.
        assert f"{name}{fn.__text_signature__}\n--\n\n{fn.__doc__}" == want, name


def test_from_bytes_of_nothing_is_a_truncated_container():
    with pytest.raises(OSError, match="^tesk truncated: need at least 120 bytes, got 0$"):
        V2.from_bytes(b"")


@pytest.fixture(scope="module")
def hollow():
    """An instance with no runner: only argument conversion may fail on it."""
    return programs.probe_module().hollow(V2)


CONVERSION_ERRORS = [
    ("run_batch", ("abc",), {}, TypeError, "^Can't extract `str` to `Vec`$"),
    ("retrieve_tools", ("q", "abc", 1), {}, TypeError, "^Can't extract `str` to `Vec`$"),
    ("run_batch", ([["q", "[]"]],), {}, TypeError, "item 0 must be a tuple of two str"),
    ("retrieve_tools", ("q", [], -1), {}, OverflowError, None),
    ("generate", ("q", "[]"), {"max_new_tokens": -1}, OverflowError, None),
    ("generate", ("q", "[]"), {"seed": -1}, OverflowError, None),
    ("generate", ("q", "[]"), {"kv_int8": True}, TypeError, "unexpected keyword argument"),
    ("run_stream", ("q", "[]", 3), {}, TypeError, "'callback' must be callable"),
    ("confidence", (), {}, TypeError, "missing required argument 'text'"),
    ("from_bytes", ("",), {}, TypeError, "argument 'tesk_bytes' must be bytes, not str"),
]


@pytest.mark.parametrize("name,args,kwargs,error,message", CONVERSION_ERRORS)
def test_argument_conversion_errors(hollow, name, args, kwargs, error, message):
    with pytest.raises(error, match=message):
        getattr(hollow, name)(*args, **kwargs)
