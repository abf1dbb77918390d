"""What every loader does with the paths it is given: os.PathLike accepted,
a NUL refused before anything is opened, and files that are not regular
files (a directory, a device that never ends, a FIFO without a writer)
refused at once rather than read."""
import os
import pathlib

import pytest

import pinnet_rs

LOADERS = {
    "V3Engine.load": lambda p: pinnet_rs.V3Engine.load(p),
    "V3Engine.load_with_depth": lambda p: pinnet_rs.V3Engine.load_with_depth(p, 2),
    "V2Engine.load": lambda p: pinnet_rs.V2Engine.load(p),
    "PinnetEngine.load weights": lambda p: pinnet_rs.PinnetEngine.load(p, p),
}


@pytest.fixture(scope="module")
def fifo(tmp_path_factory):
    path = tmp_path_factory.mktemp("paths") / "pipe"
    os.mkfifo(path)
    return str(path)


@pytest.mark.parametrize("name", sorted(LOADERS))
def test_paths(name, tmp_path, fifo):
    load = LOADERS[name]
    error = ValueError if name == "V3Engine.load_with_depth" else OSError
    with pytest.raises(ValueError, match="embedded null byte"):
        load(str(tmp_path / "model.tesk") + "\0.bak")
    for path, message in [(str(tmp_path), "Is a directory"), ("/dev/zero", "not a regular file"),
                          (fifo, "not a regular file")]:
        with pytest.raises(error, match=f"^{message}$"):
            load(path)
    # A pathlib.Path reaches the file system like the str it stands for.
    with pytest.raises(error, match="No such file or directory"):
        load(pathlib.Path(tmp_path) / "missing")
    with pytest.raises(TypeError):
        load(b"model.tesk")
