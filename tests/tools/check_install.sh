#!/usr/bin/env bash
# Installs the build tree BUILD into a scratch prefix, then builds the
# consumer against it with find_package and with pkg-config and a plain
# compiler command, runs both and checks the records they wrote.
# CFLAGS are the build's own (a sanitizer build's library needs them).
#   check_install.sh BUILD CONSUMER_SOURCE WORK [CFLAGS]
set -euo pipefail
build=$1 consumer=$2 work=$3 cflags=${4-}
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"

for f in include/vqlogger.h include/vqlogger_helpers.h; do
  [[ -f $prefix/$f ]] || { echo "missing $f"; exit 1; }
done
pc=$(find "$prefix" -name vqlogger.pc)
[[ -n $pc ]] || { echo "no vqlogger.pc installed"; exit 1; }
libdir=$(dirname "$(dirname "$pc")")
unset LOGGING_DIR LOGGING_ENABLED_RUNTIME LOGGING_ENABLED_ASSERT

# Each consumer must leave exactly these two records.
check_logs() {
  local dir=$1 runtime assert_log
  runtime=$(ls "$dir"/*_runtime.log)
  assert_log=$(ls "$dir"/*_assert.log)
  local got want
  got=$(tail -n +2 "$runtime" | cut -f3- | tr -d '\r')
  want=$(printf '%s\t7\tconsumer 42\t1' "$consumer/consumer.c")
  [[ $got == "$want" ]] || { printf 'runtime records: [%s], expected [%s]\n' "$got" "$want"; exit 1; }
  got=$(tail -n +2 "$assert_log" | cut -f3- | tr -d '\r')
  want=$(printf '%s\t8\targc == 0' "$consumer/consumer.c")
  [[ $got == "$want" ]] || { printf 'assert records: [%s], expected [%s]\n' "$got" "$want"; exit 1; }
}

# 1. CMake: find_package(vqlogger) and vqlogger::vqlogger.
cmake -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$cflags" >"$work/cmake.log"
cmake --build "$work/cmake-build" >>"$work/cmake.log"
mkdir -p "$work/logs-cmake"
LD_LIBRARY_PATH=$libdir "$work/cmake-build/consumer" "$work/logs-cmake"
check_logs "$work/logs-cmake"

# 2. pkg-config and a plain compiler command.
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs vqlogger)
# shellcheck disable=SC2086
cc $cflags -std=c11 -Wall -Werror -o "$work/consumer-pc" "$consumer/consumer.c" $flags -Wl,-rpath,"$libdir"
mkdir -p "$work/logs-pc"
"$work/consumer-pc" "$work/logs-pc"
check_logs "$work/logs-pc"
echo "install tree serves find_package and pkg-config"
