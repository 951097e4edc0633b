#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# tools need. The packages named here are not upgraded when installed
# already; apt may still upgrade a library that a package it installs needs
# in a newer version. Runs as root, or through sudo.
set -euo pipefail

for arg in "$@"; do
  case "$arg" in
    -h|--help)
      echo "usage: scripts/install-deps.sh"
      echo "Installs the Debian packages the build and the tests need, with apt-get (through sudo"
      echo "when not run as root). The packages named are not upgraded when present; apt may upgrade"
      echo "a library that a newly installed package needs in a newer version."
      exit 0 ;;
    *) echo "install-deps: unknown argument '$arg'" >&2; echo "Try 'scripts/install-deps.sh --help'." >&2; exit 2 ;;
  esac
done

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libxml2-dev
  libcurl4-openssl-dev libcpp-httplib-dev
  libp11-kit-dev p11-kit p11-kit-modules softhsm2 libengine-pkcs11-openssl opensc
  binutils locales file tzdata lintian bash-completion curl
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
