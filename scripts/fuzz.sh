#!/usr/bin/env bash
# Fuzz leg: the format engine and the record path, each run with libFuzzer
# under ASan+UBSan for FUZZ_SECONDS (default 60) from the seed corpus in
# tests/fuzz/corpus. A crash fails the leg and leaves the input in the work
# directory (printed). Needs clang.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VQLOGGER_BUILD_ROOT:-$root/build}/fuzz
jobs=${JOBS:-$(nproc)}
seconds=${FUZZ_SECONDS:-60}
command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is missing" >&2; exit 1; }
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -g -O1"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVQLOGGER_BUILD_TOOLS=OFF -DVQLOGGER_BUILD_FUZZ=ON \
  "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" \
  "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j "$jobs" --target vqlogger_wide_format_fuzz vqlogger_record_path_fuzz
status=0
for target in wide_format record_path; do
  work=$build/corpus-$target
  mkdir -p "$work"
  echo "-- fuzzing $target for ${seconds}s (corpus: $work)"
  if ! (cd "$build" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 \
        "./tests/fuzz/vqlogger_${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
        -timeout=10 -rss_limit_mb=4096 "$work" "$root/tests/fuzz/corpus/$target" 2>"$build/$target.log"); then
    status=1
    echo "fuzz.sh: $target failed; see $build/$target.log" >&2
    tail -40 "$build/$target.log" >&2
  fi
  grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb" \
    "$build/$target.log" | sed "s/^/   $target /"
done
exit "$status"
