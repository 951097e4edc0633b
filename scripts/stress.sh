#!/usr/bin/env bash
# Runs the stress host (tests/stress/StressHost.cpp) for a set time under
# ThreadSanitizer and under AddressSanitizer + UndefinedBehaviorSanitizer, in
# a private temporary tree, against rimo-datacenter on 127.0.0.1 behind the
# host's misbehaving proxy. Not part of the normal test run.
#   scripts/stress.sh [SECONDS] [tsan|asan|plain]...   (default: 600, tsan and asan)
# Prints the operations done and every sanitizer report; fails on a report.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
[ $# -gt 0 ] && shift
kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(tsan asan)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

status=0
for kind in "${kinds[@]}"; do
  case "$kind" in
    tsan) dir=build-tsan; sanitize=thread ;;
    asan) dir=build-asan; sanitize=address,undefined ;;
    plain) dir=build; sanitize= ;;
    *) echo "stress: unknown build $kind" >&2; exit 2 ;;
  esac
  if [ -n "$sanitize" ]; then
    cmake -S . -B "$dir" -G Ninja -DRIMO_WERROR=ON -DRIMO_SANITIZE="$sanitize" -DRIMO_BUILD_BENCH=OFF \
      -DCMAKE_BUILD_TYPE=Debug >/dev/null
  else
    cmake -S . -B "$dir" -G Ninja -DRIMO_WERROR=ON >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc)" --target stress_host rimo-datacenter rimo-tcsign >/dev/null

  tree=$(mktemp -d "${TMPDIR:-/tmp}/rimo-stress-XXXXXX")
  mkdir -p "$tree/home" "$tree/tmp" "$tree/answers"
  bin="$dir/bin"
  # The tools are not what is stressed: they run without the sanitizer's checks.
  ASAN_OPTIONS=detect_leaks=0 "$bin/rimo-tcsign" pki "$tree/pki" >/dev/null
  ASAN_OPTIONS=detect_leaks=0 "$bin/rimo-tcsign" container --cert SIG="$tree/pki/signer.pem" -o "$tree/c.xml"
  ASAN_OPTIONS=detect_leaks=0 "$bin/rimo-tcsign" sign --container "$tree/c.xml" --key "$tree/pki/signer.key" \
    --cert "$tree/pki/signer.pem" --current 12345678901234567890 --new 12345678901234567891 -o "$tree/r.xml"
  cp "$tree/r.xml" "$tree/answers/890.xml"
  printf 'status=200\nbody=<GETDATATCRESPONSE><TCRESPONSE>!!</TCRESPONSE></GETDATATCRESPONSE>\n' >"$tree/answers/892.conf"
  mkdir -p "$tree/pki/kelo-root/etc/kelo"

  ASAN_OPTIONS=detect_leaks=0 "$bin/rimo-datacenter" --cert "$tree/pki/server.pem" --key "$tree/pki/server.key" \
    --answers "$tree/answers" >"$tree/center.log" 2>&1 &
  center=$!
  for _ in $(seq 100); do [ -s "$tree/center.log" ] && break; sleep 0.1; done
  port=$(head -n1 "$tree/center.log")

  echo "== stress under $kind for $seconds s =="
  set +e
  env KELO_ROOT="$tree/pki/kelo-root" HOME="$tree/home" TMPDIR="$tree/tmp" XDG_STATE_HOME="$tree/home/state" \
    XDG_CONFIG_HOME="$tree/home/config" XDG_DATA_HOME="$tree/home/data" XDG_CACHE_HOME="$tree/home/cache" \
    "$dir/tests/stress_host" "$seconds" "$port" "$tree/r.xml" >"$tree/stress.out" 2>"$tree/stress.err"
  rc=$?
  set -e
  kill "$center" 2>/dev/null || true
  wait "$center" 2>/dev/null || true
  cat "$tree/stress.out"
  reports=$(grep -c -E "^(WARNING|ERROR): (ThreadSanitizer|AddressSanitizer|LeakSanitizer)|runtime error:" \
    "$tree/stress.err" || true)
  echo "exit status $rc, sanitizer reports: $reports"
  if [ "$rc" -ne 0 ] || [ "$reports" -ne 0 ]; then
    head -n 200 "$tree/stress.err"
    echo "(kept: $tree)"
    status=1
  else
    rm -rf "$tree"
  fi
done
exit $status
