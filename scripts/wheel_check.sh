#!/usr/bin/env bash
# Installs the repaired wheel that setup.sh left in build/wheelhouse into a
# fresh virtual environment and runs the demo from it: outside the source
# tree, with only the environment's bin directory on PATH (no compiler), and
# only binary wheels from PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}

wheels=(build/wheelhouse/pinnet_rs-*-cp39-abi3-manylinux_*_x86_64.whl)
if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
  echo "expected one manylinux abi3 wheel in build/wheelhouse, found: ${wheels[*]}" >&2
  exit 1
fi
wheel=$(realpath "${wheels[0]}")
echo "$(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$PY" -m venv "$dir/venv"
cp examples/demo.py "$dir/"
cd "$dir"
# -I: no PYTHONPATH, no user site-packages, no script directory on sys.path.
# PINNET_CACHE: the demo's tokenizer is trained afresh too.
run() { env PATH="$dir/venv/bin" PINNET_CACHE="$dir/cache" "$dir/venv/bin/python" -I "$@"; }
run -c 'import shutil, sys
found = {c: shutil.which(c) for c in ("cc", "gcc", "c++", "g++", "clang")}
sys.exit(f"a compiler is reachable: {found}" if any(found.values()) else 0)'
run -m pip install -q --disable-pip-version-check --only-binary :all: "$wheel" sentencepiece protobuf safetensors
run -c 'import sys, pinnet_rs, pinnet_tools
for m in (pinnet_rs, pinnet_tools):
    assert m.__file__.startswith(sys.prefix), m.__file__
print("pinnet_rs from", pinnet_rs.__file__)'
run demo.py >demo.out || { cat demo.out; exit 1; }
# The console script the wheel installs.
env PATH="$dir/venv/bin" pinnet --help >/dev/null
echo "wheel check: the demo ran from the installed wheel ($(wc -l <demo.out) lines of output)"
