#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs each
# for the given number of seconds (default 60) on a copy of its seed corpus,
# JOBS targets at a time (default 1). Findings are written to build-fuzz/.
# usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DRIMO_BUILD_FUZZ=ON -DRIMO_BUILD_TESTS=OFF \
  -DRIMO_BUILD_BENCH=OFF -DRIMO_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=($(cd build-fuzz/fuzz && ls fuzz_*))
fi
run() {
  local t=$1 name=${1#fuzz_}
  local work=build-fuzz/corpus/$name
  mkdir -p "$work" build-fuzz/findings
  cp -n fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
  if build-fuzz/fuzz/"$t" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix=build-fuzz/findings/"$name"- "$work" > build-fuzz/"$t".log 2>&1; then
    echo "$t: ${seconds}s, $(grep -m1 -o 'number_of_executed_units: *[0-9]*' build-fuzz/"$t".log | grep -o '[0-9]*$') runs, no finding"
  else
    echo "$t: FINDING, see build-fuzz/$t.log"
    return 1
  fi
}
jobs=${JOBS:-1}
status=0
running=0
for t in "${targets[@]}"; do
  run "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
