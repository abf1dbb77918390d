"""What every loader does with the paths it is given: os.PathLike accepted,
a NUL refused before anything is opened, and files that are not regular
files (a directory, a device that never ends, a FIFO without a writer)
refused at once rather than read; operating-system failures raise the
matching OSError subclass with errno and filename set, as open() does."""
import errno
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
    with pytest.raises(ValueError, match="embedded null byte"):
        load(str(tmp_path / "model.tesk") + "\0.bak")
    # (path, class raised, errno); a pathlib.Path reaches the file system like
    # the str it stands for. What is not a regular file has no errno.
    cases = [(str(tmp_path), IsADirectoryError, errno.EISDIR),
             (pathlib.Path(tmp_path) / "missing", FileNotFoundError, errno.ENOENT),
             ("/dev/zero", OSError, None), (fifo, OSError, None)]
    if os.geteuid() != 0:  # root reads anything
        locked = tmp_path / "locked.tesk"
        locked.write_bytes(b"")
        locked.chmod(0)
        cases.append((str(locked), PermissionError, errno.EACCES))
    for path, kind, number in cases:
        text = os.strerror(number) if number else "not a regular file"
        if name == "V3Engine.load_with_depth":  # raises ValueError for every failure
            with pytest.raises(ValueError, match=f"^{text}$"):
                load(path)
            continue
        with pytest.raises(kind) as e:
            load(path)
        assert type(e.value) is kind
        if number is None:
            assert e.value.errno is None and str(e.value) == text
        else:
            assert (e.value.errno, e.value.strerror, e.value.filename) == (number, text, str(path))
            assert str(e.value) == f"[Errno {number}] {text}: {str(path)!r}"
    with pytest.raises(TypeError):
        load(b"model.tesk")


def test_the_failing_file_is_named(tmp_path):
    """PinnetEngine.load names whichever of its two files failed."""
    weights = tmp_path / "weights.safetensors"
    weights.write_bytes(b"")
    with pytest.raises(FileNotFoundError) as e:
        pinnet_rs.PinnetEngine.load(weights, tmp_path / "missing.vocab")
    assert e.value.filename == str(tmp_path / "missing.vocab")
