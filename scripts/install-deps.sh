#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# tools need. Packages already installed are left as they are (no upgrade).
# Runs as root, or through sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libxml2-dev
  libcurl4-openssl-dev libcpp-httplib-dev
  libp11-kit-dev p11-kit p11-kit-modules softhsm2 libengine-pkcs11-openssl opensc
  binutils locales file tzdata
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
  else
    echo "install-deps: root rights are needed to install packages, and sudo is not available." >&2
    echo "install-deps: run as root:  apt-get update && apt-get install --no-upgrade ${packages[*]}" >&2
    exit 1
  fi
fi
echo "install-deps: installing (where missing): ${packages[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends --no-upgrade "${packages[@]}"
echo "install-deps: ${#packages[@]} packages present"
