#!/usr/bin/env bash
# The demo: builds the component and its tools, makes a fresh test PKI, a
# response container with three certificates and a signed TC response in a
# private KELO_ROOT, loads it with the rimo host and shows what was
# published; then shows a forged response being refused.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja -DRIMO_WERROR=ON >/dev/null
cmake --build build --target rimo rimo-tcsign >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/rimo-demo-XXXXXX")
trap 'rm -rf "$work"' EXIT
tcsign=build/bin/rimo-tcsign
rimo=build/bin/rimo

echo "== a test PKI: the maker's root, a response signer, TLS certificates =="
"$tcsign" pki "$work/pki"
export KELO_ROOT="$work/pki/kelo-root"

echo
echo "== a response container with three certificates, signed as a TC response =="
"$tcsign" container --keychange NEIN --switch JA \
  --cert SIG="$work/pki/signer.pem" --cert ROOT="$work/pki/root.pem" --cert TLS="$work/pki/server.pem" \
  -o "$work/container.xml"
"$tcsign" sign --container "$work/container.xml" --key "$work/pki/signer.key" --cert "$work/pki/signer.pem" \
  --current 12345678901234567890 --new 12345678901234567891 -o "$work/response.xml"
echo "written: $work/response.xml"

echo
echo "== rimo load response.xml =="
"$rimo" load "$work/response.xml"

echo
echo "== the same response with one character of the signed container changed =="
"$tcsign" sign --container "$work/container.xml" --key "$work/pki/signer.key" --cert "$work/pki/signer.pem" \
  --current 12345678901234567890 --new 12345678901234567891 --tamper -o "$work/forged.xml"
if "$rimo" --quiet load "$work/forged.xml"; then
  echo "demo: the forged response was published; that is wrong" >&2
  exit 1
fi
echo
echo "demo: the genuine response was published and the forged one refused."
