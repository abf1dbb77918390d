#!/usr/bin/env bash
# The aarch64 wheel: the abi3 module cross-built with the toolchain file
# (cmake/aarch64-linux-gnu.toolchain.cmake), tagged manylinux and put beside
# the x86-64 one in build/wheelhouse, then run in Debian's arm64 CPython under
# qemu-user: the demo, whose shipped model must answer as on x86-64, and some
# of the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
bash scripts/setup_aarch64.sh
root=$PWD

start=$SECONDS
rm -rf build/wheel-aarch64 build/wheelhouse/pinnet_rs-*aarch64*.whl
_PYTHON_HOST_PLATFORM=linux-aarch64 \
  SKBUILD_CMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.toolchain.cmake" \
  "$PY" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    -w build/wheel-aarch64 .
"$PY" -m auditwheel repair -w build/wheelhouse \
  build/wheel-aarch64/pinnet_rs-*.whl
wheels=(build/wheelhouse/pinnet_rs-*-cp39-abi3-manylinux_*_aarch64.whl)
x86=(build/wheelhouse/pinnet_rs-*-cp39-abi3-manylinux_*_x86_64.whl)
if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ] || [ ! -f "${x86[0]}" ]; then
  echo "expected one aarch64 and one x86-64 wheel in build/wheelhouse: ${wheels[*]} ${x86[*]}" >&2
  exit 1
fi
echo "$(basename "${wheels[0]}") ($(du -k "${wheels[0]}" | cut -f1) KiB): $((SECONDS - start)) s"

# Debian's arm64 interpreter unpacked into a folder (kept between runs), and
# the aarch64 wheels of the Python packages at the versions this machine has.
start=$SECONDS
env_dir=build/aarch64-python
debs=(libc6 libgcc-s1 libstdc++6 python3.11 python3.11-minimal libpython3.11-minimal
      libpython3.11-stdlib libexpat1 zlib1g libffi8 libssl3 libbz2-1.0 liblzma5 libuuid1
      libcrypt1 libsqlite3-0)
pins=$("$PY" -c 'from importlib.metadata import version
print(" ".join(f"{p}=={version(p)}" for p in ("numpy", "sentencepiece", "protobuf", "safetensors", "pytest")))')
stamp="${debs[*]} $pins"
if [ "$(cat "$env_dir/stamp" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$env_dir"
  mkdir -p "$env_dir/debs"
  log=$env_dir/download.log
  # A failed download may only need fresher package lists.
  (cd "$env_dir/debs" && { apt-get download -qq "${debs[@]/%/:arm64}" ||
    { apt-get update -qq && apt-get download -qq "${debs[@]/%/:arm64}"; }; }) 2>"$log" ||
    { cat "$log"; exit 1; }
  for d in "$env_dir"/debs/*.deb; do dpkg -x "$d" "$env_dir/root"; done
  # shellcheck disable=SC2086
  "$PY" -m pip download -q --disable-pip-version-check --only-binary :all: \
    --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 --python-version 3.11 \
    --implementation cp --abi cp311 --abi abi3 --abi none -d "$env_dir/wheels" $pins 2>"$log" ||
    { cat "$log"; exit 1; }
  for w in "$env_dir"/wheels/*.whl; do "$PY" -m zipfile -e "$w" "$env_dir/site"; done
  echo "$stamp" >"$env_dir/stamp"
fi
echo "arm64 CPython and packages: $((SECONDS - start)) s"

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$PY" -m zipfile -e "${wheels[0]}" "$dir/aarch64"
"$PY" -m zipfile -e "${x86[0]}" "$dir/x86_64"
cp examples/demo.py "$dir/"
arm_python() {
  PYTHONPATH="$dir/aarch64:$root/$env_dir/site" PINNET_CACHE="$dir/cache" \
    qemu-aarch64 -L "$root/$env_dir/root" -cpu "${PINNET_QEMU_CPU:-max}" \
    "$root/$env_dir/root/usr/bin/python3.11" "$@"
}

# The demo on both processors, the tokenizers it trains shared; the outputs
# stay in build/demo-aarch64. The shipped demo model's part must be the same to
# the letter. The random models after it may differ in the last float digits
# and in near ties (the x86-64 vector kernels sum in another order than the
# portable path aarch64 takes); their differences are counted, not failed on.
start=$SECONDS
out=build/demo-aarch64
rm -rf "$out" && mkdir -p "$out"
(cd "$dir" && PYTHONPATH="$dir/x86_64" PINNET_CACHE="$dir/cache" "$PY" demo.py) >"$out/x86_64.txt"
x86_seconds=$((SECONDS - start))
start=$SECONDS
(cd "$dir" && arm_python -c 'import platform, sys, pinnet_rs
assert platform.machine() == "aarch64" and pinnet_rs.__file__.startswith(sys.argv[1]), pinnet_rs.__file__
print("pinnet_rs on", platform.machine(), "from", pinnet_rs.__file__)' "$dir/aarch64")
(cd "$dir" && arm_python demo.py) >"$out/aarch64.txt" || { cat "$out/aarch64.txt"; exit 1; }
echo "demo: x86-64 ${x86_seconds} s, aarch64 under qemu $((SECONDS - start)) s"
shipped() { sed '/^The rest of the API/q' "$out/$1.txt"; }
if ! diff <(shipped x86_64) <(shipped aarch64); then
  echo "the shipped demo model answers differently on aarch64 (above)" >&2
  exit 1
fi
echo "demo: the shipped model's $(shipped aarch64 | grep -c -- '->') calls are the same on aarch64 as on x86-64;" \
  "$(diff <(sed -E 's#/tmp/tmp[A-Za-z0-9_]+#<tmp>#g' "$out/x86_64.txt") \
          <(sed -E 's#/tmp/tmp[A-Za-z0-9_]+#<tmp>#g' "$out/aarch64.txt") | grep -c '^>' || true)" \
  "of $(wc -l <"$out/aarch64.txt") lines differ in all"

# The model against its NumPy reference (greedy, both caches), streaming and
# sampling; the engine surfaces. (Tests that start other interpreters cannot
# run here: the emulator does not follow into child processes; nor can the
# ones that load the binding probe, an x86-64 test program.)
start=$SECONDS
tests=$root/tests/python
(cd "$dir" && arm_python -m pytest -q -p no:cacheprovider "$tests/test_v2_engine_surface.py" \
  "$tests/test_module.py" -k "not every_interpreter and not argument_conversion_errors" \
  "$tests/test_v3_engine.py::test_greedy_generation_matches_reference" \
  "$tests/test_v3_engine.py::test_streaming" "$tests/test_v3_engine.py::test_sampling_is_reproducible_per_seed")
echo "Python tests on aarch64: $((SECONDS - start)) s"
