"""The `pinnet` command, run as a user runs it: exit statuses, the JSON of
`inspect`, and streamed output equal to whole output."""
import json

import pytest

import pinnet_rs
from doors import QUERY, pinnet, tools_file, write_models


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("cli")
    return write_models(tmp), tools_file(tmp)


def test_inspect_every_generation(files):
    models, _ = files
    for generation, path in models.items():
        out = pinnet("inspect", path, "--json")
        assert out.returncode == 0, out.stderr
        info = json.loads(out.stdout)
        assert (info["generation"], info["file_bytes"]) == (generation, path.stat().st_size)
        assert info["tokenizer_pieces"] and sum(info["tensors"].values()) > 10
        text = pinnet("inspect", path)
        assert text.returncode == 0 and f"generation {generation}" in text.stdout
    info = json.loads(pinnet("inspect", models[3], "--json", "--depth", 6).stdout)
    engine = pinnet_rs.V3Engine.load_with_depth(str(models[3]), 6)
    assert info["running_blocks"] == 6 and info["heads"] == ["confidence"]
    assert info["kv_bytes"]["1024"] == {"float": engine.kv_bytes(1024),
                                        "int8": engine.kv_bytes(1024, True)}
    assert list(info["ladder"]) == [str(k) for k in range(2, 13)]


@pytest.mark.parametrize("flags", [["--strict", "--tool-choice", "get_weather"],
                                   ["--strict"], ["--raw", "--max-new-tokens", "24"],
                                   ["--raw", "--strict", "--temperature", "1.2", "--seed", "3"]])
def test_run_streams_what_it_prints_whole(files, flags):
    models, tools = files
    for generation in (3, 2, 1):
        whole = pinnet("run", models[generation], QUERY, "--tools", tools, *flags)
        streamed = pinnet("run", models[generation], QUERY, "--tools", tools, "--stream", *flags)
        assert (streamed.returncode, streamed.stdout) == (whole.returncode, whole.stdout)
        assert whole.returncode in (0, 1)
        # Without a call the model's reply goes to stderr, and only then.
        assert whole.stderr.startswith("pinnet: no tool call") == (whole.returncode == 1)


def test_run_exit_statuses(files, tmp_path):
    models, tools = files
    called = pinnet("run", models[3], QUERY, "--tools", tools, "--strict", "--tool-choice",
                    "set_timer")
    assert called.returncode == 0
    assert json.loads(called.stdout)["name"] == "set_timer"
    none = pinnet("run", models[3], QUERY, "--tools", tools, "--max-new-tokens", 1)
    assert none.returncode == 1 and none.stderr.startswith("pinnet: no tool call; the model said")
    (tmp_path / "bad.json").write_text("[{")
    (tmp_path / "empty.json").write_text("[]")
    (tmp_path / "nameless.json").write_text('[{"parameters": {}}]')
    for args in ([tmp_path / "missing.tesk", QUERY, "--tools", tools],
                 [models[3], QUERY, "--tools", tmp_path / "bad.json"],
                 [models[3], QUERY, "--tools", tmp_path / "missing.json"],
                 [models[3], QUERY, "--tools", tools, "--strict", "--tool-choice", "nope"],
                 [models[3], QUERY, "--tools", tools, "--depth", 40],
                 [tools, QUERY, "--tools", tools],
                 [models[3], QUERY],  # only the shipped demo model has default tools
                 [models[3], QUERY, "--tools", tmp_path / "empty.json"],
                 [models[3], QUERY, "--tools", tmp_path / "nameless.json"],
                 [models[3], QUERY, "--tools", tools, "--tool-choice", "required"],  # no --strict
                 [models[3], QUERY, "--tools", tools, "--temperature", -1],
                 [models[3], "x " * 3000, "--tools", tools],  # past the context
                 [models[3], QUERY, "--tools", tools, "--strict", "--tool-choice", "required",
                  "--max-new-tokens", 2]):
        out = pinnet("run", *args)
        assert out.returncode == 2, (args, out.stderr)
        assert out.stderr.startswith("pinnet: error: ") and out.stderr.count("\n") == 1, out.stderr
    missing = pinnet("run", tmp_path / "missing.tesk", QUERY)
    assert "missing.tesk" in missing.stderr and "--tools" not in missing.stderr
