#!/usr/bin/env bash
# Sets up a fresh machine and runs every test: the C++ unit tests in a release
# build, in a build with the portable kernels only and in an AddressSanitizer +
# UndefinedBehaviorSanitizer build, short fuzz runs of every file parser, the
# demo from the wheel in a fresh virtual environment, the C++ tests and the
# wheel cross-built for aarch64 and run under qemu-user, and the Python tests
# against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY=${PYTHON:-python3}

echo "== C++ unit tests (release)"
cmake -S . -B build/test -G Ninja -DPINNET_BUILD_TESTS=ON -DPINNET_BUILD_MODULE=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/test
ctest --test-dir build/test --output-on-failure -j 2

echo "== C++ unit tests (portable kernels only)"
start=$SECONDS
cmake -S . -B build/portable -G Ninja -DPINNET_BUILD_TESTS=ON -DPINNET_BUILD_MODULE=OFF \
  -DPINNET_PORTABLE_ONLY=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/portable
ctest --test-dir build/portable --output-on-failure -j 2
echo "portable-only build and tests: $((SECONDS - start)) s"

echo "== C++ unit tests (address + undefined-behaviour sanitizers)"
cmake -S . -B build/asan -G Ninja -DPINNET_BUILD_TESTS=ON -DPINNET_BUILD_MODULE=OFF \
  -DPINNET_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan
ctest --test-dir build/asan --output-on-failure -j 2

if [ -f fuzz/CMakeLists.txt ]; then
  echo "== fuzz targets (short runs)"
  bash fuzz/run.sh "${FUZZ_SECONDS:-20}"
fi

echo "== wheel in a fresh environment"
bash scripts/wheel_check.sh

echo "== aarch64: C++ unit tests cross-built, under qemu-user"
start=$SECONDS
bash scripts/test_aarch64.sh
echo "aarch64 C++ tests: $((SECONDS - start)) s"

echo "== aarch64: the wheel in Debian's arm64 CPython under qemu-user"
start=$SECONDS
bash scripts/wheel_check_aarch64.sh
echo "aarch64 wheel check: $((SECONDS - start)) s"

echo "== Python tests"
# The installed module, with the test programs (model CLIs, readers, the
# binding probe) of the build/test tree built above.
PINNET_TEST_BUILD_DIR=build/test "$PY" -m pytest tests/python -q
