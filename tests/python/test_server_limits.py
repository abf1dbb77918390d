"""The server's limits, tried as a hostile or careless client would: bodies
too large or too slow, more requests than it answers at once, and a clean
exit on SIGTERM."""
import json
import signal
import socket
import time

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

from doors import start_server, write_models  # noqa: E402

LIMITS = ["--max-body-bytes", "4000", "--read-timeout", "1", "--max-in-flight", "1"]


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    proc, base = start_server(write_models(tmp_path_factory.mktemp("limits"))[3], *LIMITS)
    port = int(base.rsplit(":", 1)[1])
    yield proc, port
    if proc.poll() is None:
        proc.kill()


def raw(port, head: bytes, body: bytes, hold: float = 0.0) -> tuple:
    """Sends a request by hand (headers, then the body bytes given, then
    nothing for `hold` seconds); returns (status, seconds until answered)."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        t = time.monotonic()
        s.sendall(head + body)
        time.sleep(hold)
        reply = s.recv(65536)
        return int(reply.split()[1]), time.monotonic() - t


def post(length: int) -> bytes:
    return (f"POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nContent-Type: application/json"
            f"\r\nContent-Length: {length}\r\n\r\n").encode()


def test_limits_answer_in_time(server):
    proc, port = server
    ok = json.dumps({"model": "pinnet3", "max_tokens": 4,
                     "messages": [{"role": "user", "content": "hi"}]}).encode()
    assert raw(port, post(len(ok)), ok)[0] == 200
    big = b"x" * 5000
    assert raw(port, post(len(big)), big)[0] == 413
    # A body shorter than its Content-Length: answered when the read times out.
    status, took = raw(port, post(100), b'{"model"')
    assert status == 408 and took < 5, took
    # While that slow body holds the one slot, another request is turned away.
    with socket.create_connection(("127.0.0.1", port), timeout=10) as slow:
        slow.sendall(post(100) + b"{")
        time.sleep(0.3)
        head = raw(port, post(len(ok)), ok)
        assert head[0] == 429
    time.sleep(1.5)
    assert raw(port, post(len(ok)), ok)[0] == 200


def test_sigterm_exits_cleanly(server):
    proc, _ = server
    proc.send_signal(signal.SIGTERM)
    assert proc.wait(timeout=30) == 0, proc.stderr.read()
