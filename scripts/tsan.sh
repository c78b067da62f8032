#!/usr/bin/env bash
# ThreadSanitizer leg: the concurrency tests and the stress program (every
# export from many threads while others initialise again), built with
# -fsanitize=thread, then one short run of the peer comparison (its 2-thread
# rounds share every sink between the threads). Any report fails the leg.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VQLOGGER_BUILD_ROOT:-$root/build}/tsan
jobs=${JOBS:-$(nproc)}
flags="-fsanitize=thread -g -O1"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQLOGGER_BUILD_TOOLS=OFF \
  -DVQLOGGER_BUILD_BENCH=ON \
  "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread" "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread" >/dev/null
cmake --build "$build" -j "$jobs" --target vqlogger_scenario_tests vqlogger_unit_tests vqlogger_stress \
  vqlogger_peer_compare
cd "$build"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
ctest --output-on-failure -j "$jobs" -R 'Concurren|Stress|CritSec|Thread|GroupCommit'
echo "-- peer comparison under ThreadSanitizer (1 round of 2000 records)"
"$build/bench/vqlogger_peer_compare" --rounds 1 --records 2000 >/dev/null
