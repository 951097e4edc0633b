#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs each
# for the given number of seconds (default 60) on a copy of its seed corpus.
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
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  work=build-fuzz/corpus/$name
  mkdir -p "$work"
  cp -n fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
  echo "== $t for ${seconds}s =="
  build-fuzz/fuzz/"$t" -max_total_time="$seconds" -print_final_stats=1 "$work" 2>&1 | tail -n 6
done
