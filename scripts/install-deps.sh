#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for every leg of
# scripts/test.sh (native, sanitizers, fuzzing, benchmarks, the vqlog tool,
# the MinGW-w64 cross builds, wine64, and 32-bit wine where the kernel runs
# 32-bit programs). Needs root; does nothing when every package is already
# there.
#
# A package mirror may be mid-sync: `apt-get update` is tried a few times
# and then the install goes on with the indexes it got. The required
# packages still fail the install when they cannot be had. 32-bit wine is
# the exception: when it cannot be installed, this says so loudly with
# apt's reason, records that reason in $VQLOGGER_DEPS_STATE/wine32-not-installed
# (default /var/lib/vqlogger-test), where scripts/test.sh reads it, and
# goes on.
# (scripts/apt-retry.sh has the retry settings.)
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
source "$(dirname "${BASH_SOURCE[0]}")/apt-retry.sh"

state_dir=${VQLOGGER_DEPS_STATE:-/var/lib/vqlogger-test}
wine32_record=$state_dir/wine32-not-installed

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
  # starts its own unprivileged rsyslogd, never the system's; RELP over TLS,
  # certificates made with openssl), and strace for the group-commit checks
  rsyslog rsyslog-relp openssl lnav jq strace
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
  apt_update
  # wine64 with its recommended libraries and fonts, as the Windows test leg
  # was set up and verified with them.
  if ! apt_install --no-install-recommends "${packages[@]}" || ! apt_install wine64; then
    echo "$apt_output" >&2
    shout "required packages could not be installed:
$(apt_reason "$apt_output")"
    exit 1
  fi
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
if dpkg -s wine32:i386 >/dev/null 2>&1; then
  rm -f "$wine32_record"
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps.sh: missing wine32:i386 (this kernel runs 32-bit programs); run as root to install it" >&2
  exit 1
fi
echo "== installing wine32:i386 (the kernel runs 32-bit programs)"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt_update
if apt_install wine32:i386; then
  rm -f "$wine32_record"
  exit 0
fi
reason=$(apt_reason "$apt_output")
echo "$apt_output" >&2
shout "wine32:i386 could NOT be installed, though this kernel runs 32-bit programs.
The win32 leg will build and inspect the shipping DLL but not run it. apt said:
$reason"
mkdir -p "$state_dir"
printf '%s\n' "$reason" >"$wine32_record"
