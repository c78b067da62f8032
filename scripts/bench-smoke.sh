#!/usr/bin/env bash
# Benchmark smoke leg: builds the benchmarks and runs each one briefly so
# they cannot rot. No timing is asserted here; docs/PERFORMANCE.md says how
# to take real figures.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VQLOGGER_BUILD_ROOT:-$root/build}/bench
jobs=${JOBS:-$(nproc)}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVQLOGGER_BUILD_BENCH=ON \
  -DVQLOGGER_BUILD_TESTS=OFF -DVQLOGGER_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j "$jobs"
"$build/bench/vqlogger_write_paths_bench" --benchmark_min_time=0.01 >/dev/null
"$build/bench/vqlogger_peer_compare" --rounds 1 --records 2000
slow_dir=$(mktemp -d)
trap 'rm -rf "$slow_dir"' EXIT
"$build/bench/vqlogger_slow_write" 2000 spin 4096 2,8 "$slow_dir" >/dev/null
