#!/usr/bin/env bash
# The C++ tests cross-built for aarch64 Linux (release) and run under
# qemu-user on three emulated processors, one per dispatch level of
# core/cpu.h: every test on `max` (i8mm), the core and model tests (the
# models against their NumPy references included) on neoverse-n1 (dot
# products) and cortex-a57 (plain NEON). Each processor's
# detected level is printed and checked first (PINNET_EXPECT_ISA).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup_aarch64.sh

build=build/aarch64
start=$SECONDS
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.toolchain.cmake" \
  -DPINNET_BUILD_TESTS=ON -DPINNET_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
echo "aarch64 cross build: $((SECONDS - start)) s"

# processor, the level it must detect, the ctest labels to run (all if none)
for run in "max i8mm" "neoverse-n1 dotprod core|models" "cortex-a57 neon core|models"; do
  read -r cpu level labels <<<"$run"
  start=$SECONDS
  # Only the emulator's command line changes: nothing is rebuilt, but the
  # GoogleTest case lists keep the command they were listed with until
  # they are listed again.
  cmake -S . -B "$build" -DPINNET_QEMU_CPU="$cpu" >/dev/null
  find "$build/tests" -name '*_tests.cmake' -delete
  echo "== aarch64 tests on qemu $cpu (${labels:-all})"
  PINNET_EXPECT_ISA=$level qemu-aarch64 -L /usr/aarch64-linux-gnu -cpu "$cpu" \
    "$build/tests/cpp/core/cpu_test" --gtest_filter=Cpu.DetectsTheExpectedLevel --gtest_brief=1
  PINNET_EXPECT_ISA=$level ctest --test-dir "$build" --output-on-failure -j 2 \
    ${labels:+-L "^($labels)\$"}
  echo "aarch64 tests on $cpu: $((SECONDS - start)) s"
done
