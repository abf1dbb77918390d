#!/usr/bin/env bash
# Builds every fuzz target with clang (libFuzzer + ASan + UBSan) and runs each
# for the given number of seconds (default 20), starting from the seeds in
# fuzz/corpus/<target>/ plus what earlier runs kept in build/fuzz/corpus-run/.
# Fails on any crash, sanitizer report, timeout or memory blow-up.
#
#   bash fuzz/run.sh            # short runs, as the test command does
#   bash fuzz/run.sh 600 gen1   # ten minutes of the targets whose name has "gen1"
#   bash fuzz/run.sh long       # an hour per target; the kept corpus grows
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
[ "$secs" = long ] && secs=3600
filter=${2:-}
cmake -S . -B build/fuzz -G Ninja -DPINNET_FUZZ=ON -DPINNET_BUILD_MODULE=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz
shopt -s nullglob
for exe in build/fuzz/fuzz/fuzz_*; do
  name=${exe##*/fuzz_}
  [[ "$name" == *"$filter"* ]] || continue
  work=build/fuzz/corpus-run/$name
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  echo "-- fuzz_$name for ${secs}s"
  log=build/fuzz/fuzz_$name.log
  # The fuzzer's own status decides (a pipeline's would be grep's, or under
  # pipefail the `|| true` after it).
  status=0
  # A single input that takes seconds is a hang worth reporting; so is one
  # that needs more than a gigabyte.
  "$exe" -max_total_time="$secs" -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=1024 \
    -print_final_stats=1 "$work" "${seeds[@]}" >"$log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY)|runtime error' "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$name failed (status $status); libFuzzer wrote the input as ./crash-*; log: $log" >&2
    tail -n 40 "$log" >&2
    exit 1
  fi
done
