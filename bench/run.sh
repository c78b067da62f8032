#!/usr/bin/env bash
# Reproduces docs/PERFORMANCE.md in one command: builds the benchmarks
# (Release), runs the peer comparison, then the instruction counts under
# callgrind. Run it on an otherwise idle machine; the ratios compare
# loggers within the same round, so a steady machine matters more than a
# fast one.
#   bench/run.sh [rounds] [records-per-round]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVQLOGGER_BUILD_BENCH=ON \
  -DVQLOGGER_BUILD_TESTS=OFF -DVQLOGGER_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
"$build/bench/vqlogger_peer_compare" --rounds "${1:-9}" --records "${2:-40000}"
echo
for size in 100 1000; do "$root/bench/callgrind.sh" "$build" "$size"; done
