#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60) on a copy of its seed
# corpus under fuzz/corpus/. Fails on any crash, leak or input that takes over 10 seconds, and
# prints the executions per second of each target.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(pcx_decoder grab_line link_and_archive item_readers png_reader runtime)
echo "kiv: building the fuzz targets with clang in build-fuzz/"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_FUZZ=ON \
  -DKIV_TESTS=OFF -DKIV_GUI=OFF > build-fuzz.log 2>&1 || { cat build-fuzz.log; exit 1; }
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]/%/_fuzzer}" >> build-fuzz.log 2>&1 \
  || { tail -50 build-fuzz.log; exit 1; }
summary=()
for target in "${targets[@]}"; do
  work=$(mktemp -d)
  log=build-fuzz/$target.log
  echo "kiv: fuzzing $target for $seconds s"
  if ! "build-fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -dict=fuzz/kiv.dict -artifact_prefix="$work/" \
      "$work" "fuzz/corpus/$target" > "$log" 2>&1; then
    tail -60 "$log"
    echo "kiv: $target failed; the input that did it is in $work"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  time=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  summary+=("$target: $runs runs, $time per second")
  rm -rf "$work"
done
printf 'kiv: fuzzing found nothing\n'
printf '  %s\n' "${summary[@]}"
