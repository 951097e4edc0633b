#!/usr/bin/env bash
# The demo: builds the component and its tools; makes a fresh test PKI and a
# private KELO_ROOT; starts the local data center rimo-datacenter on an
# ephemeral port with answers for two users (one with a TC response, one
# without) that demands a client certificate from the card; puts the card
# holder's certificate and key on a SoftHSM2 token (the card) that p11-kit's
# proxy finds; points the registry at the data center; fetches both users
# with rimo (a small askpass helper chooses the card's certificate and gives
# its PIN) and shows what was published, the response file, the status INI
# and where the card certificate came from; then a wrong PIN and a forged
# response being refused; and stops the data center.
# usage: scripts/demo.sh [--keep]   (--keep: keep the work directory)
set -euo pipefail
keep=0
for arg in "$@"; do
  case "$arg" in
    --keep) keep=1 ;;
    -h|--help) echo "usage: scripts/demo.sh [--keep]"; exit 0 ;;
    *) echo "demo.sh: unknown option '$arg'" >&2; echo "Try 'scripts/demo.sh --help'." >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."

echo "== building the component and its tools (build/; a few minutes on a fresh machine) =="
cmake -S . -B build -G Ninja -DRIMO_WERROR=ON >/dev/null
cmake --build build --target rimo rimo-tcsign rimo-datacenter

work=$(mktemp -d "${TMPDIR:-/tmp}/rimo-demo-XXXXXX")
server=""
finish() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  if [ "$keep" -eq 1 ]; then echo "demo: the work directory is kept: $work"; else rm -rf "$work"; fi
}
trap finish EXIT
tcsign=build/bin/rimo-tcsign
rimo=build/bin/rimo

# Runs rimo, shows its report and marks the result with rimo's own verdict
# line (PUBLISHED, RECEIVED, NO PACKAGE, REFUSED or FAILED, with the reason).
last=0
run() {
  local status=0
  "$rimo" "$@" >"$work/stdout" 2>"$work/stderr" || status=$?
  last=$status
  tail -n +2 "$work/stdout"
  echo "=> $(head -1 "$work/stdout") (exit status $status)"
}

echo
echo "== a test PKI: the maker's root, a response signer, TLS certificates =="
"$tcsign" pki "$work/pki"
export KELO_ROOT="$work/pki/kelo-root"

echo
echo "== the data center's answers: a signed TC response for user ...890, nothing for ...891 =="
mkdir -p "$work/answers"
"$tcsign" container --keychange NEIN --switch JA \
  --cert SIG="$work/pki/signer.pem" --cert ROOT="$work/pki/root.pem" --cert TLS="$work/pki/server.pem" \
  -o "$work/container.xml"
"$tcsign" sign --container "$work/container.xml" --key "$work/pki/signer.key" --cert "$work/pki/signer.pem" \
  --current 12345678901234567890 --new 12345678901234567891 -o "$work/answers/890.xml"
ls "$work/answers"

echo
echo "== rimo-datacenter on 127.0.0.1 =="
build/bin/rimo-datacenter --cert "$work/pki/server.pem" --key "$work/pki/server.key" \
  --answers "$work/answers" --client-ca "$work/pki/root.pem" >"$work/datacenter.log" &
server=$!
for _ in $(seq 100); do [ -s "$work/datacenter.log" ] && break; sleep 0.05; done
port=$(head -1 "$work/datacenter.log")
echo "listening on port $port, demanding a client certificate from the maker's root"
mkdir -p "$KELO_ROOT/etc/kelo" "$KELO_ROOT/opt/Quandel/Konfig/KeloCompact"
cat >"$KELO_ROOT/etc/kelo/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]
"RimoServiceUrl"="https://127.0.0.1:$port/pvtwmod/rest/"
REG
# The reload wizard's settings: alerts 60, 30, 14 and 7 days before the
# card expires; the card holder's certificate expires in 10 days.
printf '[Allgemein]\nstoreResponse=1\n[PlugInInfos]\nSuspendableAlerts=60,30,14\nNonSuspendableAlerts=7\n' \
  >"$KELO_ROOT/opt/Quandel/Konfig/KeloCompact/WizardProperties.ini"

echo
echo "== the card: a SoftHSM2 token with the card holder's certificate and key =="
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" \
  >"$work/softhsm2.conf"
export SOFTHSM2_CONF="$work/softhsm2.conf"
unset KELO_CARD_CERT KELO_CARD_URI KELO_PKCS11_MODULE
printf '%s\n' 73519864 >"$work/pin" && chmod 600 "$work/pin"
"$tcsign" card --pki "$work/pki" --days 10 --token card1 --pin "$(cat "$work/pin")"
echo "token card1 made in $work/tokens; p11-kit's proxy finds it"
# The askpass helper: takes the first certificate offered and "types" the PIN.
cat >"$work/askpass" <<HELPER
#!/bin/sh
case "\$1" in
  client-cert) head -n 1 | tee -a "$work/offered" | cut -d' ' -f1 ;;
  pin) cat "$work/pin" ;;
  *) exit 1 ;;
esac
HELPER
chmod 700 "$work/askpass"
export KELO_ASKPASS="$work/askpass"

echo
echo "== rimo fetch 12345678901234567890 =="
run fetch 12345678901234567890

echo
echo "== rimo fetch 12345678901234567891 =="
run fetch 12345678901234567891

echo
echo "== the certificate the helper chose =="
cat "$work/offered"

echo
echo "== what the data center saw =="
tail -n +2 "$work/datacenter.log"

echo
echo "== a wrong PIN: one login, then the query ends with its reason =="
printf '%s\n' 00000000 >"$work/pin"
run --quiet fetch 12345678901234567891 | tail -1

echo
echo "== a response whose signed container was changed by one character =="
"$tcsign" sign --container "$work/container.xml" --key "$work/pki/signer.key" --cert "$work/pki/signer.pem" \
  --current 12345678901234567890 --new 12345678901234567891 --tamper -o "$work/forged.xml"
run --quiet load "$work/forged.xml" | tail -1
if grep -q "REFUSED" <<<"$(run --quiet load "$work/forged.xml" | tail -1)"; then :; else
  echo "demo: the forged response was published; that is wrong" >&2
  exit 1
fi

echo
echo "demo: done."
