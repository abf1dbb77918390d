"""The test programs of the C++ build that the Python tests drive (the model
CLIs, the container and vocabulary readers, the strict-call corpus and the
binding probe extension), all found in one build tree: $PINNET_TEST_BUILD_DIR
when set, else build/test of the source tree.

A program missing from the tree is built there on demand, that target only,
configuring the tree first when it has no CMake cache (the configuration of
scripts/test.sh). A program that is present is used as it is: after changing
C++ sources, rebuild the tree (scripts/test.sh does). When a program cannot
be had (no cmake, no compiler, a tree configured without it), the module
that needs it is skipped with the reason, once.
"""
from __future__ import annotations

import fcntl
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
ENV = "PINNET_TEST_BUILD_DIR"

# CMake target -> its folder in the build tree.
FOLDERS = {
    "gen1_cli": "tests/cpp/models/gen1",
    "gen2_cli": "tests/cpp/models/gen2",
    "gen3_cli": "tests/cpp/models/gen3",
    "strict_corpus_cli": "tests/cpp/engine",
    "tesk_cli": "tests/cpp/formats",
    "st_cli": "tests/cpp/formats",
    "vocab_cli": "tests/cpp/formats",
    "_binding_probe": "tests/python/probe",
}

# Set by conftest: prints one line past pytest's output capture, so a long
# build does not look like a hang.
announce = None

_unavailable: dict[str, str] = {}  # target -> why it could not be built
_tree_error = ""  # why no target can be built in this session's tree


def build_dir() -> Path:
    named = os.environ.get(ENV)
    return Path(named).resolve() if named else ROOT / "build" / "test"


def _built(target: str) -> Path | None:
    folder = build_dir() / FOLDERS[target]
    if target == "_binding_probe":
        found = sorted(folder.glob("_binding_probe*.so"))
        return found[0] if found else None
    # A cross build leaves beside each program a wrapper that runs it under
    # the emulator.
    for path in (folder / f"{target}.emulated", folder / target):
        if path.is_file() and os.access(path, os.X_OK):
            return path
    return None


def _run_logged(cmd: list, log) -> str | None:
    """Runs cmd with its output appended to log; None on success, else the
    first error it printed (or its last line)."""
    log.write("$ " + " ".join(cmd) + "\n")
    log.flush()
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    log.write(out.stdout)
    if out.returncode == 0:
        return None
    lines = [ln.strip() for ln in out.stdout.splitlines() if ln.strip()]
    for i, ln in enumerate(lines):
        if "error" in ln.lower():
            return " ".join(lines[i:i + 2])
    return lines[-1] if lines else f"exit status {out.returncode}"


def _configured(tree: Path) -> bool:
    # A configuration that failed leaves a cache but no build files.
    return any((tree / name).exists() for name in ("build.ninja", "Makefile"))


def _build(target: str) -> str | None:
    """Builds one target in the tree: None on success, else why not."""
    global _tree_error
    if _tree_error:
        return _tree_error
    cmake = shutil.which("cmake")
    if cmake is None:
        _tree_error = "cmake is not installed"
        return _tree_error
    tree = build_dir()
    tree.mkdir(parents=True, exist_ok=True)
    log_path = tree / "pytest-build.log"
    # One build at a time in a tree, whatever the number of pytest processes.
    with open(tree / ".pytest-build.lock", "w") as lock, open(log_path, "a") as log:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if _built(target):
            return None
        if announce:
            announce(f"building the test program {target} in {tree} (log: {log_path})")
        if not _configured(tree):
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            failed = _run_logged([cmake, "-S", str(ROOT), "-B", str(tree), *generator,
                                  "-DPINNET_BUILD_TESTS=ON", "-DPINNET_BUILD_MODULE=ON",
                                  "-DCMAKE_BUILD_TYPE=Release",
                                  f"-DPython_EXECUTABLE={sys.executable}",
                                  f"-DPython3_EXECUTABLE={sys.executable}"], log)
            if failed:
                _tree_error = f"configuring {tree} failed: {failed} (see {log_path})"
                return _tree_error
        failed = _run_logged([cmake, "--build", str(tree), "--target", target], log)
        if failed:
            return f"building it failed: {failed} (see {log_path})"
    return None if _built(target) else f"the build did not leave it in {tree / FOLDERS[target]}"


def find(target: str) -> Path | None:
    """The program's path, built first when missing; None when it cannot be."""
    path = _built(target)
    if path is None and target not in _unavailable:
        why = _build(target)
        path = _built(target)
        if path is None:
            _unavailable[target] = why or "not built"
    return path


def program(target: str) -> Path:
    """The program's path; skips the calling module when it cannot be had."""
    path = find(target)
    if path is None:
        pytest.skip(f"test program {target} unavailable: {_unavailable[target]}",
                    allow_module_level=True)
    return path


def probe_module():
    """The binding probe: a test-only extension exposing the binding layer's
    conversions, built beside the C++ tests and never installed."""
    folder = str(program("_binding_probe").parent)
    if folder not in sys.path:
        sys.path.insert(0, folder)
    import _binding_probe

    return _binding_probe
