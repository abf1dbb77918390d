"""A short run of the server load test (bench/load_server.py): clients at
once mixing whole and streamed calls, chats, malformed requests and
abandoned streams, every answer checked against the engine in-process."""
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

from doors import command_env  # noqa: E402

SCRIPT = Path(__file__).resolve().parents[2] / "bench" / "load_server.py"


def test_every_answer_is_its_own_under_load():
    out = subprocess.run([sys.executable, str(SCRIPT), "--clients", "8", "--seconds", "8"],
                         capture_output=True, text=True, env=command_env(), timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr
    assert '"failures": 0' in out.stdout
