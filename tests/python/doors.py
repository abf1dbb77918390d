"""Shared by the tests of the command and the server: model files of every
generation, tools, and how to start the command in a subprocess."""
import json
import os
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pinnet_rs
from pinnet_tools import gen1, gen2, gen3

TOOLS = [
    {"type": "function", "function": {
        "name": "get_weather", "description": "Current weather for a city",
        "parameters": {"type": "object", "required": ["city"], "properties": {
            "city": {"type": "string"}, "unit": {"type": "string", "enum": ["c", "f"]}}}}},
    {"type": "function", "function": {
        "name": "set_timer", "description": "Start a timer",
        "parameters": {"type": "object", "required": ["minutes"],
                       "properties": {"minutes": {"type": "integer"}}}}},
]
QUERY = "What's the weather in Lisbon?"


def write_models(tmp: Path) -> dict:
    """{generation: path}: random models, generation 3 with a confidence head
    and a context long enough for a prompt with tools plus a strict call."""
    blob = gen3.tokenizer_blob_for(512)
    geom = gen3.small_gen3(int.from_bytes(blob[:4], "little")).replace(max_seq_len=1024)
    paths = {3: tmp / "pinnet3.tesk", 2: tmp / "pinnet2.tesk", 1: tmp / "pinnet1.safetensors"}
    gen3.write_gen3(paths[3], gen3.random_model(geom, seed=7, head=gen3.HeadSpec(code=3)), blob)
    g2 = gen2.tiny_gen2(int.from_bytes(blob[:4], "little")).replace(max_seq_len=1024)
    gen2.write_gen2(paths[2], gen2.random_model(g2), blob)
    m1, vocab = gen1.build_preset("tiny-gen1")
    gen1.write_gen1(paths[1], m1)
    paths[1].with_suffix(".vocab").write_text(vocab, encoding="utf-8")
    return paths


def command_env() -> dict:
    """The environment a subprocess needs to import what this process imports."""
    dirs = [os.path.dirname(pinnet_rs.__file__),
            str(Path(__file__).resolve().parents[2])]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(dirs + [env.get("PYTHONPATH", "")])
    return env


def pinnet(*args, **kw) -> subprocess.CompletedProcess:
    """Runs the `pinnet` command (as its module, so the tree under test is used)."""
    return subprocess.run([sys.executable, "-m", "pinnet_tools.cli", *map(str, args)],
                          capture_output=True, text=True, env=command_env(), timeout=300, **kw)


def tools_file(tmp: Path) -> Path:
    path = tmp / "tools.json"
    path.write_text(json.dumps(TOOLS))
    return path


def start_server(path: Path, *flags) -> tuple:
    """`pinnet serve PATH FLAGS` on a free loopback port, once it answers:
    (process, base URL)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([sys.executable, "-m", "pinnet_tools.cli", "serve", str(path),
                             "--port", str(port), *map(str, flags)], env=command_env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    base = f"http://127.0.0.1:{port}"
    for _ in range(300):
        try:
            urllib.request.urlopen(base + "/health", timeout=1)
            break
        except OSError:
            assert proc.poll() is None, proc.stderr.read()
            time.sleep(0.1)
    return proc, base
