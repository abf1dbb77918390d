"""The binding layer's conversions, through a test-only probe module that
round-trips each argument kind (built beside the C++ tests; found or built
by support.programs)."""
import sys
import threading
from collections import UserList

import pytest

from support import programs

probe = programs.probe_module()


def test_unsigned_counts():
    assert probe.u64(0) == 0
    assert probe.u64(2**64 - 1) == 2**64 - 1
    assert probe.u64(True) == 1
    with pytest.raises(OverflowError):
        probe.u64(-1)
    with pytest.raises(OverflowError):
        probe.u64(2**64)
    with pytest.raises(TypeError, match="argument 'value' must be int, not float"):
        probe.u64(1.0)
    with pytest.raises(TypeError, match="not str"):
        probe.u64("3")


def test_float_narrowed_to_single_precision():
    import struct
    for v in (0.1, 1e-40, 3.4e38, -2.5, 7):
        want = struct.unpack("f", struct.pack("f", v))[0]
        assert probe.f32(v) == want
    assert probe.f32(1e39) == float("inf")  # beyond single range

    class Floaty:
        def __float__(self):
            return 0.5
    assert probe.f32(Floaty()) == 0.5
    with pytest.raises(TypeError, match="argument 'value' must be float, not str"):
        probe.f32("0.5")


def test_bool_is_strict():
    assert probe.flag(True) is True and probe.flag(False) is False
    for bad in (1, 0, None, "yes"):
        with pytest.raises(TypeError, match="must be bool"):
            probe.flag(bad)


def test_text_and_optional_text():
    s = "héllo 世界 🎉\x00end"
    assert probe.text(s) == s
    assert probe.opt_text(None) is None
    assert probe.opt_text("") == ""
    with pytest.raises(TypeError, match="must be str or None, not int"):
        probe.opt_text(3)
    with pytest.raises(UnicodeEncodeError):
        probe.text("\udc80")


def test_bytes():
    assert probe.byte_len(b"") == 0
    assert probe.byte_len(b"\x00" * 1000) == 1000
    for bad in (bytearray(b"ab"), "ab", memoryview(b"ab")):
        with pytest.raises(TypeError, match="must be bytes"):
            probe.byte_len(bad)


def test_sequences_refuse_str():
    for fn in (probe.pairs, probe.texts):
        with pytest.raises(TypeError) as e:
            fn("abc")
        assert str(e.value) == "Can't extract `str` to `Vec`"
    assert probe.texts(["a", "é"]) == ["a", "é"]
    assert probe.texts(("x",)) == ["x"]
    assert probe.texts(UserList(["u"])) == ["u"]  # any collections.abc.Sequence
    assert probe.texts([]) == []
    with pytest.raises(TypeError, match="must be a sequence"):
        probe.texts({"a"})  # a set is not a sequence
    with pytest.raises(TypeError, match="item 1 must be str"):
        probe.texts(["a", 1])


def test_pairs_want_tuples_of_two_str():
    assert probe.pairs([("q", "[]"), ("r", "t")]) == [("q", "[]"), ("r", "t")]
    for bad in ([["q", "[]"]], [("q",)], [("q", "t", "x")], [("q", 1)]):
        with pytest.raises(TypeError, match="item 0 must be a tuple of two str"):
            probe.pairs(bad)


def test_callbacks_run_with_lock_and_errors_are_discarded():
    seen = []

    def cb(i):
        seen.append(i)
        raise RuntimeError("ignored")
    assert probe.stream(cb, 5) == 5
    assert seen == [0, 1, 2, 3, 4]
    assert sys.exc_info() == (None, None, None)
    with pytest.raises(TypeError, match="must be callable"):
        probe.stream(3, 1)


def test_lock_is_released_around_work():
    result = []
    t = threading.Thread(target=lambda: result.append(probe.wait_flag_unlocked()))
    t.start()
    # This call can only run while the other thread is inside its unlocked region.
    while t.is_alive() and not result:
        probe.set_flag()
        t.join(0.01)
    t.join()
    assert result == [True]


def test_dict_keeps_insertion_order_and_result_types():
    d = probe.record()
    assert list(d) == ["text", "tool_call", "token_ids", "prob", "flag"]
    assert d == {"text": "abc", "tool_call": None, "token_ids": [1, 2, 4000000000],
                 "prob": 0.25, "flag": True}


def test_cpp_exceptions_become_python_exceptions():
    with pytest.raises(RuntimeError, match="chunk size must be non-zero"):
        probe.raise_cpp("logic")
    with pytest.raises(MemoryError):
        probe.raise_cpp("alloc")
    assert probe.raise_cpp("none") is None
