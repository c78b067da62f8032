#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for every leg of
# scripts/test.sh (native, sanitizers, fuzzing, benchmarks, the vqlog tool,
# the MinGW-w64 cross builds, wine64, and 32-bit wine where the kernel runs
# 32-bit programs). Needs root; does nothing when every package is already
# there.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

packages=(
  # native builds and tests
  cmake make g++ googletest libgtest-dev libgmock-dev
  # sanitizers, fuzzing, benchmarks and the peer comparison
  clang libclang-rt-14-dev libbenchmark-dev libspdlog-dev python3
  # the vqlog tool and the install/package tests
  libcli11-dev nlohmann-json3-dev pkg-config unzip
  # Windows cross builds
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64
  # used by the scripts: flock, objdump, awk, sed, nproc
  util-linux binutils mawk sed coreutils
  # the rsyslog pipeline and lnav format test (scripts/contrib-test.sh; it
  # starts its own unprivileged rsyslogd, never the system's), and strace for
  # the group-commit checks
  rsyslog lnav jq strace
)

missing=()
for package in "${packages[@]}" wine64; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps.sh: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  echo "== installing packages: ${missing[*]}"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
  # wine64 with its recommended libraries and fonts, as the Windows test leg
  # was set up and verified with them.
  apt-get install -y -qq wine64 >/dev/null
fi

# 32-bit wine, for the win32 leg's tests of the shipping DLL, only where the
# kernel runs 32-bit programs: a probe program finds out (it needs binutils,
# installed above).
probe_status=0
probe=$(bash "$(dirname "${BASH_SOURCE[0]}")/probe-32bit.sh") || probe_status=$?
if [[ $probe_status -ne 0 ]]; then
  echo "== no wine32: $probe; the win32 leg will only inspect the DLL"
  exit 0
fi
dpkg -s wine32:i386 >/dev/null 2>&1 && exit 0
if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps.sh: missing wine32:i386 (this kernel runs 32-bit programs); run as root to install it" >&2
  exit 1
fi
echo "== installing wine32:i386 (the kernel runs 32-bit programs)"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq wine32:i386 >/dev/null

