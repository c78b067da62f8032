#!/usr/bin/env bash
# Builds the library and the vqlog tool with CMake and runs `vqlog demo`:
# records of every kind written from several threads, then both log files
# shown as a table.
#
#   scripts/demo.sh [DIR]      logs go to DIR (default: build/demo/vqlog-demo)
#
# On a fresh Debian machine it first installs the build packages that are
# missing, with apt-get, as .ci/run does (as root; otherwise it names them).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/demo

packages=(cmake make g++ libcli11-dev nlohmann-json3-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "demo.sh: missing packages: ${missing[*]} (apt-get install them, or run as root)" >&2
    exit 1
  fi
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  source "$root/scripts/apt-retry.sh"
  apt_update
  if ! apt_install --no-install-recommends "${missing[@]}"; then
    echo "$apt_output" >&2
    echo "demo.sh: could not install ${missing[*]}" >&2
    exit 1
  fi
fi

echo "== building $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQLOGGER_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target vqlog --parallel "$(nproc)" >/dev/null

echo "== vqlog demo"
exec "$build/tools/vqlog" demo "${1:-$build/vqlog-demo}"
