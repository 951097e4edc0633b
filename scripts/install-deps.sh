#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# tools need. Idempotent; run as root (or through sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libxml2-dev
  binutils locales
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
echo "install-deps: ${#packages[@]} packages present"
