"""The shipped demo model: a small trained generation-3 model that calls the
tools of `pinnet_tools.train.data`, with the tools it is shown with by default
and a manifest of how it was made (checksum, command, seed, data version,
held-out scores).

    import pinnet_rs
    from pinnet_tools.models import DEMO_MODEL, demo_tools_json
    engine = pinnet_rs.V3Engine.load(str(DEMO_MODEL))
    engine.run_json("What's the weather in Lisbon?", demo_tools_json())
"""
from __future__ import annotations

import json
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEMO_MODEL = HERE / "demo-gen3.tesk"
DEMO_TOOLS = HERE / "demo-tools.json"
DEMO_MANIFEST = HERE / "demo-gen3.json"


def demo_tools_json() -> str:
    return DEMO_TOOLS.read_text(encoding="utf-8")


def manifest() -> dict:
    return json.loads(DEMO_MANIFEST.read_text(encoding="utf-8"))
