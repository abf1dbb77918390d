"""The module surface: what is exported, class docstrings, refusal of direct
construction, the static completion helpers and their argument handling."""
import glob
import inspect
import os
import shutil
import subprocess
import sys

import pytest

import pinnet_rs
from pinnet_tools.template import TOOL_CALL_OPEN, TOOL_CALL_CLOSE, THINK_OPEN, THINK_CLOSE

V3 = pinnet_rs.V3Engine

V2_DOC = ("Pinnet v2. A `.tesk` container carries its weights, geometry and tokenizer,\n"
          "so `load` takes one path and there is no vocabulary argument.")
V3_DOC = ("Pinnet 3.\n\nMirrors `V2Engine` so switching generations is a class swap, with two\n"
          "differences that follow from the model rather than from taste:\n\n"
          "* No `encode_contrastive` or `retrieve_tools`. v3 exports a confidence head\n"
          "  and nothing else, so they would return empty on every call.\n"
          "* `reasoning()`, because v3 emits a `<think>` block on essentially every\n"
          "  query. v2 does so only sometimes, so the block is not a generation marker.")


def test_exports_three_classes_and_nothing_else():
    ours = [n for n in dir(pinnet_rs) if not n.startswith("__")]
    assert ours == ["PinnetEngine", "V2Engine", "V3Engine"]
    for name in ours:
        cls = getattr(pinnet_rs, name)
        assert isinstance(cls, type)
        assert cls.__module__ == "pinnet_rs" and cls.__name__ == name


def test_class_docstrings():
    assert pinnet_rs.V2Engine.__doc__ == V2_DOC
    assert V3.__doc__ == V3_DOC
    assert pinnet_rs.PinnetEngine.__doc__ is None


@pytest.mark.parametrize("name", ["PinnetEngine", "V2Engine", "V3Engine"])
def test_classes_cannot_be_called(name):
    cls = getattr(pinnet_rs, name)
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == f"cannot create '{name}' instances"
    with pytest.raises(TypeError):
        cls("a", key=1)


def test_static_helper_docstrings_and_signatures():
    assert V3.reasoning.__doc__ == "The chain-of-thought inside a completion, if it has one."
    assert V3.extract_tool_call.__doc__ == "Pull the payload out of a completion you already have."
    for fn in (V3.reasoning, V3.extract_tool_call):
        assert list(inspect.signature(fn).parameters) == ["text"]
    # Static: reachable the same way from the class and (were there one) an instance.
    assert isinstance(inspect.getattr_static(V3, "reasoning"), staticmethod)


WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(chr(c) for c in range(0x2000, 0x200B))
               + "\u2028\u2029\u202f\u205f\u3000")


def reference_payload(text, open_, close):
    """Independent re-statement of the extraction rule: first open, next close."""
    at = text.find(open_)
    if at < 0:
        return None
    start = at + len(open_)
    end = text.find(close, start)
    return text[start:] if end < 0 else text[start:end]


def reference_trim(s):
    return s.strip(WHITE_SPACE)


COMPLETIONS = [
    "<tool_call> [] </tool_call>",
    "no markers",
    '<tool_call>{"name":"f"',
    "</tool_call>x<tool_call>y</tool_call>",
    "<think>\n\n</think>",
    "<think> a </think>b",
    "<think>\u3000思考\u2003</think><tool_call>\u00a0[{\"name\": \"é\"}]\u2029</tool_call>",
    "<think>unterminated \u200b",  # zero width space is not White_Space
    "<tool_call>\x1c x \x1f</tool_call>",  # str.isspace() but not White_Space
    "<think></think><think>second</think>",
    "",
]


@pytest.mark.parametrize("text", COMPLETIONS)
def test_extraction_matches_reference(text):
    for fn, (o, c) in ((V3.extract_tool_call, (TOOL_CALL_OPEN, TOOL_CALL_CLOSE)),
                       (V3.reasoning, (THINK_OPEN, THINK_CLOSE))):
        want = reference_payload(text, o, c)
        assert fn(text) == (None if want is None else reference_trim(want))
        assert fn(text=text) == fn(text)


def test_extraction_spec_examples():
    assert V3.extract_tool_call("<tool_call> [] </tool_call>") == "[]"
    assert V3.extract_tool_call("no markers") is None
    assert V3.reasoning("<think> a </think>b") == "a"
    assert V3.reasoning("<think>\n\n</think>") == ""
    assert V3.extract_tool_call("<tool_call>\x1c[]\x1c</tool_call>") == "\x1c[]\x1c"


def test_argument_errors():
    with pytest.raises(TypeError, match="missing required argument 'text'"):
        V3.reasoning()
    with pytest.raises(TypeError, match="takes 1 positional"):
        V3.reasoning("a", "b")
    with pytest.raises(TypeError, match="unexpected keyword argument 'txt'"):
        V3.reasoning(txt="a")
    with pytest.raises(TypeError, match="multiple values for argument 'text'"):
        V3.reasoning("a", text="b")
    with pytest.raises(TypeError, match="argument 'text' must be str, not bytes"):
        V3.extract_tool_call(b"<tool_call>x</tool_call>")
    with pytest.raises(UnicodeEncodeError):
        V3.extract_tool_call("\ud800")  # a lone surrogate has no UTF-8 form
    assert sys.exc_info() == (None, None, None)


def _other_interpreters():
    found = []
    for pattern in ("/root/.pyenv/versions/3.*/bin/python3", "/usr/bin/python3.*"):
        for exe in sorted(glob.glob(pattern)):
            if os.path.realpath(exe) == os.path.realpath(sys.executable) or exe.endswith("-config"):
                continue
            try:
                out = subprocess.run([exe, "-c", "import sys; print(sys.version_info[:2] >= (3, 9))"],
                                     capture_output=True, text=True, timeout=30)
            except OSError:
                continue
            if out.stdout.strip() == "True":
                found.append(exe)
    return found


def test_one_abi3_file_imports_on_every_interpreter(tmp_path):
    path = pinnet_rs.__file__
    assert os.path.basename(path) == "pinnet_rs.abi3.so"
    shutil.copy(path, tmp_path / "pinnet_rs.abi3.so")
    others = _other_interpreters()
    if not others:
        pytest.skip("no other CPython >= 3.9 on this machine")
    code = ("import pinnet_rs, sys; assert pinnet_rs.__file__.startswith(sys.argv[1]); "
            "print(pinnet_rs.V3Engine.extract_tool_call('<tool_call> [] </tool_call>'))")
    for exe in others:
        out = subprocess.run([exe, "-I", "-c", f"import sys; sys.path.insert(0, {str(tmp_path)!r}); {code}",
                              str(tmp_path)], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, (exe, out.stderr)
        assert out.stdout.strip() == "[]", exe
