#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for every leg of
# scripts/test.sh (native, sanitizers, fuzzing, benchmarks, the vqlog tool,
# the MinGW-w64 cross builds and wine64). Needs root; does nothing when every
# package is already there.
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
[[ ${#missing[@]} -gt 0 ]] || exit 0
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

