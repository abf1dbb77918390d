#!/usr/bin/env bash
# Builds every fuzz target with clang (libFuzzer + ASan + UBSan) and runs each
# for the given number of seconds (default 20). Fails on any crash or report.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
cmake -S . -B build/fuzz -G Ninja -DPINNET_FUZZ=ON -DPINNET_BUILD_MODULE=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz
shopt -s nullglob
for exe in build/fuzz/fuzz/fuzz_*; do
  name=${exe##*/fuzz_}
  work=build/fuzz/corpus-run/$name
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  echo "-- fuzz_$name for ${secs}s"
  "$exe" -max_total_time="$secs" -print_final_stats=1 "$work" "${seeds[@]}" 2>&1 \
    | grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY)' || true
  test "${PIPESTATUS[0]}" -eq 0
done
