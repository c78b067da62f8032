#!/usr/bin/env bash
# The project's one test command: builds the library in each configuration
# and runs its tests, one leg after another, then prints a summary. Every
# leg runs even when an earlier one failed; the exit code is non-zero if any
# leg failed.
#
# Legs, in order:
#   setup   the setup scripts against a misbehaving package mirror (stub
#           apt-get and dpkg): tests/setup/setup_test.sh
#   native  native build (RelWithDebInfo) + ctest
#   asan    AddressSanitizer + UndefinedBehaviorSanitizer build + ctest
#   tsan    scripts/tsan.sh         } run only when the script exists and is
#   fuzz    scripts/fuzz.sh         } executable; each gets the build root in
#   bench   scripts/bench-smoke.sh  } VQLOGGER_BUILD_ROOT and cores in JOBS
#   contrib scripts/contrib-test.sh }
#   win32   32-bit Windows DLL (the shipping build) + scripts/check-dll.sh,
#           then, where the kernel runs 32-bit code (scripts/probe-32bit.sh),
#           an i686 test build + ctest under 32-bit wine against that DLL;
#           elsewhere it says loudly that the DLL was only inspected
#   win64   64-bit Windows build + ctest under wine64
#
# Usage: scripts/test.sh [--only LEG[,LEG...]] [--skip LEG[,LEG...]]
#                        [--require-windows] [--build-root DIR]
#   --only/--skip     pick legs (repeatable), e.g. --only native for quick
#                     local iteration
#   --require-windows fail, instead of skipping with a warning, when the
#                     MinGW-w64 compilers or wine are missing (CI sets it); a
#                     kernel without 32-bit support is no failure, as no
#                     install can mend it, and neither is a 32-bit wine that
#                     install-deps.sh recorded it could not install
#   --build-root DIR  where the build trees go (default: build/ in the repo)
#
# The last line reads "summary: N passed, N failed, N skipped": test cases
# run by ctest (skipped ones apart), plus one check for each leg or hook that
# runs no ctest of its own (the DLL checks count one each), and one failure
# for each leg that failed with no failing test to show for it (a build
# error, a missing tool).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# 32-bit wine (cmake/wine-run.sh takes the same setting), and where
# scripts/install-deps.sh records that it could not be installed.
wine32=${VQLOGGER_WINE32:-/usr/lib/wine/wine}
wine32_record=${VQLOGGER_DEPS_STATE:-/var/lib/vqlogger-test}/wine32-not-installed
jobs=$(nproc 2>/dev/null || echo 2)

all_legs=(setup native asan tsan fuzz bench contrib win32 win64)

usage() {
  sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"
  exit "${1:-0}"
}

only=()
skip=()
require_windows=0
build_root=$root/build

split_legs() {  # appends the comma-separated legs in $2 to the array named $1
  local -n into=$1
  local leg
  IFS=, read -r -a parts <<<"$2"
  for leg in "${parts[@]}"; do
    [[ -n $leg ]] || continue
    if [[ " ${all_legs[*]} " != *" $leg "* ]]; then
      echo "test.sh: unknown leg '$leg' (legs: ${all_legs[*]})" >&2
      exit 2
    fi
    into+=("$leg")
  done
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --only) [[ $# -ge 2 ]] || usage 2; split_legs only "$2"; shift 2 ;;
    --only=*) split_legs only "${1#--only=}"; shift ;;
    --skip) [[ $# -ge 2 ]] || usage 2; split_legs skip "$2"; shift 2 ;;
    --skip=*) split_legs skip "${1#--skip=}"; shift ;;
    --require-windows) require_windows=1; shift ;;
    --build-root) [[ $# -ge 2 ]] || usage 2; build_root=$2; shift 2 ;;
    --build-root=*) build_root=${1#--build-root=}; shift ;;
    -h | --help) usage 0 ;;
    *) echo "test.sh: unknown argument '$1'" >&2; usage 2 ;;
  esac
done
mkdir -p "$build_root"
build_root=$(cd "$build_root" && pwd)
# Tests that need a tool beside wine (openssl) fail, rather than skip, too.
if [[ $require_windows -eq 1 ]]; then export VQLOGGER_REQUIRE_WINDOWS=1; fi

selected() {
  local leg=$1
  if [[ ${#only[@]} -gt 0 && " ${only[*]} " != *" $leg "* ]]; then return 1; fi
  if [[ ${#skip[@]} -gt 0 && " ${skip[*]} " == *" $leg "* ]]; then return 1; fi
  return 0
}

# ---------------------------------------------------------------------------
# Reporting. A leg runs in a subshell (so `set -e` stops the leg, not the
# script) and reports through these files.

results_dir=$(mktemp -d)
trap 'rm -rf "$results_dir"' EXIT

banner() {
  local line='========================================================================'
  printf '\n%s\n== %s\n%s\n' "$line" "$*" "$line"
}

warn_loudly() {
  local line='!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!'
  printf '\n%s\n!! WARNING: %s\n%s\n\n' "$line" "$*" "$line" >&2
}

# Names what failed in this leg; the summary lists the names, since a CI
# log is often read from its end only.
record_failure() {
  echo "$*" >>"$results_dir/$current_leg.failures"
}

# Adds to this leg's counts: record_counts PASSED FAILED [SKIPPED]
record_counts() {
  local passed=0 failed=0 skipped=0
  if [[ -f $results_dir/$current_leg.counts ]]; then
    read -r passed failed skipped <"$results_dir/$current_leg.counts"
  fi
  echo "$((passed + $1)) $((failed + $2)) $((skipped + ${3:-0}))" \
    >"$results_dir/$current_leg.counts"
}

# Records the counts of every ctest run in a log: from each closing line
# ("N tests failed out of M") and the "(Skipped)" entries. Returns 1 if the
# log has no closing line.
record_ctest_counts() {
  local log=$1 found=1 line
  while IFS= read -r line; do
    if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
      local failed=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
      record_counts $((total - failed)) "$failed"
      found=0
    fi
  done < <(grep -aE '[0-9]+ tests? failed out of [0-9]+' "$log" || true)
  local skipped
  skipped=$(grep -acE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log" || true)
  if [[ $found -eq 0 && $skipped -gt 0 ]]; then
    record_counts "-$skipped" 0 "$skipped"
  fi
  # ctest's closing list: "  12 - Suite.Name (Failed)", "(Timeout)",
  # "(SIGUSR1)", ... Only the lines under its heading: a failing test's
  # output, shown above, may hold lines of the same shape.
  while IFS= read -r line; do
    record_failure "$line"
  done < <(awk '/^The following tests FAILED:$/ { list = 1; next }
    list && /^[[:space:]]+[0-9]+ - / { sub(/^[[:space:]]+[0-9]+ - /, ""); print; next }
    { list = 0 }' "$log")
  return "$found"
}

# Marks this leg as skipped, with the reason shown in the summary.
record_skip() {
  echo "$*" >"$results_dir/$current_leg.skipped"
}

# A remark on a leg that passed, shown beside its counts in the summary.
record_note() {
  echo "$*" >"$results_dir/$current_leg.note"
}

# Configures a tree with the given cache settings and builds all of it.
configure_and_build() {
  local dir=$1
  shift
  echo "-- configure $dir"
  cmake -S "$root" -B "$dir" "$@"
  echo "-- build $dir (-j$jobs)"
  cmake --build "$dir" --parallel "$jobs"
}

# Runs a tree's tests; the counts come from ctest's closing line.
run_ctest() {
  local dir=$1
  shift
  local log=$dir/ctest-output.log
  local status=0
  echo "-- ctest $dir (-j$jobs)"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error \
    --timeout 300 -j "$jobs" "$@" 2>&1 | tee "$log" || status=$?
  record_ctest_counts "$log" || true
  return "$status"
}

# ---------------------------------------------------------------------------
# Legs.

# Counts the setup checks' cases from their ctest-like closing line.
leg_setup() {
  local status=0 log=$results_dir/setup.log
  "$root/tests/setup/setup_test.sh" "$build_root/setup" 2>&1 | tee "$log" || status=$?
  record_ctest_counts "$log" || record_counts 0 1
  return "$status"
}

leg_native() {
  configure_and_build "$build_root/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  run_ctest "$build_root/native"
}

leg_asan() {
  local flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
  local link="-fsanitize=address,undefined"
  configure_and_build "$build_root/asan" -DCMAKE_BUILD_TYPE=Debug \
    "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" \
    "-DCMAKE_EXE_LINKER_FLAGS=$link" "-DCMAKE_SHARED_LINKER_FLAGS=$link" \
    "-DCMAKE_MODULE_LINKER_FLAGS=$link"
  # The configure checks run natively once (no library code runs in them).
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_ctest "$build_root/asan" -LE configure
}

# Later legs plug in here: each is a script that, when present and
# executable, builds what it needs under $VQLOGGER_BUILD_ROOT and exits
# non-zero on failure.
run_hook() {
  local script=$root/scripts/$1
  if [[ ! -e $script ]]; then
    echo "-- scripts/$1 is not there yet: nothing to run"
    record_skip "scripts/$1 not present"
    return 0
  fi
  if [[ ! -x $script ]]; then
    echo "-- scripts/$1 is not executable: not run"
    record_skip "scripts/$1 not executable"
    return 0
  fi
  local status=0 log=$results_dir/$current_leg.log
  VQLOGGER_BUILD_ROOT=$build_root JOBS=$jobs "$script" 2>&1 | tee "$log" || status=$?
  # A hook that runs ctest counts its test cases; any other counts as one.
  if ! record_ctest_counts "$log"; then
    if [[ $status -eq 0 ]]; then record_counts 1 0; else record_counts 0 1; record_failure "scripts/$1"; fi
  fi
  return "$status"
}

leg_tsan() { run_hook tsan.sh; }
leg_fuzz() { run_hook fuzz.sh; }
leg_bench() { run_hook bench-smoke.sh; }
leg_contrib() { run_hook contrib-test.sh; }

# Missing Windows tools skip a leg with a warning, or fail it under
# --require-windows. Succeeds (so the leg returns) when a tool is missing.
windows_tools_missing() {
  local leg=$1
  shift
  local missing=() tool
  for tool in "$@"; do
    if [[ $tool == /* ]]; then
      [[ -x $tool ]] || missing+=("$tool")
    else
      command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
    fi
  done
  [[ ${#missing[@]} -gt 0 ]] || return 1
  if [[ $require_windows -eq 1 ]]; then
    echo "test.sh: $leg: missing ${missing[*]} (required by --require-windows)" >&2
    exit 1
  fi
  warn_loudly "$leg leg SKIPPED: missing ${missing[*]} (scripts/install-deps.sh installs them)"
  record_skip "missing ${missing[*]}"
  touch "$results_dir/windows-skipped"
  return 0
}

# The names the public header exports: the DLL must export exactly these.
header_exports() {
  sed -n 's/^VQLOGGER_API .* VQLOGGER_CALL \([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' \
    "$root/include/vqlogger.h"
}

leg_win32() {
  if windows_tools_missing win32 i686-w64-mingw32-gcc i686-w64-mingw32-g++ \
    i686-w64-mingw32-objdump; then
    return 0
  fi
  # The library alone: the DLL is what this leg checks and tests (the zip
  # with the tools is checked by tests/tools/check_win32_zip.sh).
  local dir=$build_root/win32
  configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVQLOGGER_BUILD_TESTS=OFF -DVQLOGGER_BUILD_TOOLS=OFF

  local exports
  mapfile -t exports < <(header_exports)
  echo "-- check $dir/vqlogger.dll: exports ${exports[*]}"

  # First make sure the check can fail: a DLL with a decorated extra export
  # and a USER32.dll import must be rejected.
  local control=$dir/check-dll-control
  mkdir -p "$control"
  cat >"$control/control.c" <<'EOF'
#include <windows.h>
__declspec(dllexport) int __stdcall Extra(int flags) { return MessageBoxA(0, "", "", flags); }
EOF
  i686-w64-mingw32-gcc -shared -o "$control/control.dll" "$control/control.c" -luser32
  if "$root/scripts/check-dll.sh" --machine i386 "$control/control.dll" Extra >/dev/null 2>&1; then
    echo "test.sh: check-dll.sh accepted a DLL with a wrong export and import" >&2
    record_failure "check-dll.sh accepted a wrong DLL"
    record_counts 0 1
    return 1
  fi

  local check=0
  "$root/scripts/check-dll.sh" --machine i386 "$dir/vqlogger.dll" "${exports[@]}" || check=$?
  if [[ $check -eq 0 ]]; then record_counts 1 0; else record_counts 0 1; record_failure "check-dll.sh"; fi

  # Then the tests, against this very DLL, where the kernel runs 32-bit code.
  local probe probe_status=0
  probe=$("$root/scripts/probe-32bit.sh") || probe_status=$?
  if [[ $probe_status -eq 1 ]]; then
    warn_loudly "win32: the shipping DLL was only INSPECTED, NOT TESTED: $probe"
    record_note "DLL inspected only: no 32-bit support in this kernel"
    echo "this kernel runs no 32-bit programs" >"$results_dir/win32-inspected-only"
    return "$check"
  elif [[ $probe_status -ne 0 ]]; then
    echo "test.sh: win32: $probe" >&2
    return 1
  fi
  # 32-bit wine may have been impossible to install that day (a mirror
  # mid-sync): install-deps.sh then leaves apt's reason behind, and the DLL
  # is only inspected, as on a kernel without 32-bit support. Without that
  # record a missing wine is a missing tool.
  if [[ ! -x $wine32 && -f $wine32_record ]]; then
    local reason
    reason=$(tr '\n' ' ' <"$wine32_record" | sed 's/ *$//')
    warn_loudly "win32: the shipping DLL was only INSPECTED, NOT TESTED: the kernel runs 32-bit programs, but 32-bit wine could not be installed (install-deps.sh: $reason)"
    record_note "DLL inspected only: 32-bit wine could not be installed"
    echo "the kernel runs 32-bit programs, but 32-bit wine could not be installed: $reason" \
      >"$results_dir/win32-inspected-only"
    return "$check"
  fi
  echo "-- this kernel runs 32-bit programs: testing the shipping DLL under 32-bit wine"
  if windows_tools_missing win32 i686-w64-mingw32-gcc-posix i686-w64-mingw32-g++-posix \
    "$wine32" /usr/lib/wine/wine64 /usr/lib/wine/wineserver64; then
    return "$check"
  fi
  if [[ ! -d /usr/src/googletest ]]; then
    if [[ $require_windows -eq 1 ]]; then
      echo "test.sh: win32: /usr/src/googletest missing (install googletest)" >&2
      return 1
    fi
    warn_loudly "win32 tests SKIPPED: /usr/src/googletest missing (install googletest)"
    record_skip "missing /usr/src/googletest"
    return "$check"
  fi
  local tests=$build_root/win32-tests
  configure_and_build "$tests" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686-posix.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQLOGGER_GTEST_SOURCE=/usr/src/googletest \
    -DVQLOGGER_TEST_LIBRARY="$dir/vqlogger.dll"

  wine_prefix_args=(--prefix="$tests/wineprefix")
  trap stop_wine_server EXIT
  trap 'stop_wine_server; exit 130' INT TERM
  local started=$SECONDS
  "$root/cmake/wine-run.sh" "${wine_prefix_args[@]}" --start-server
  echo "-- wine ready in $((SECONDS - started)) s"
  run_ctest "$tests" "${wine_ctest_args[@]}"
  ship_under_wine "$tests" "$wine32" || check=1
  return "$check"
}

# vqlog.exe ship under wine against the real central rsyslogd
# (tests/contrib/ship_test.sh): the writer and the central's own vqlog are
# the contrib leg's native builds. ship_under_wine BUILD_DIR WINE
ship_under_wine() {
  local dir=$1 wine=$2 native=$build_root/contrib status=0
  if [[ ! -x $native/vq_pipe_writer || ! -x $native/tools/vqlog ]] || ! command -v rsyslogd >/dev/null; then
    if [[ $require_windows -eq 1 ]]; then
      echo "test.sh: $current_leg: vqlog ship under wine needs rsyslogd and the contrib leg's build ($native)" >&2
      record_failure "vqlog ship under wine: not run"
      record_counts 0 1
      return 1
    fi
    warn_loudly "$current_leg: vqlog ship under wine NOT TESTED: needs rsyslogd and the contrib leg's build"
    return 0
  fi
  echo "-- vqlog ship under $(basename "$wine")"
  # A prefix of its own: a killed vqlog.exe leaves its key container behind,
  # which the Schannel test counts in the tests' prefix.
  WINEPREFIX=$dir/ship-wineprefix WINEDEBUG=-all VQLOGGER_VQLOG=$native/tools/vqlog \
    "$root/tests/contrib/ship_test.sh" "$dir/tools/vqlog.exe" "$native/vq_pipe_writer" "$dir/ship-work" "$wine" ||
    status=$?
  if [[ $status -eq 0 ]]; then record_counts 1 0; else record_counts 0 1; record_failure "vqlog ship under wine"; fi
  return "$status"
}

# wine's loader has crashed at a test program's exit after the program had
# passed (32-bit wine, "Segmentation fault" from wine-run.sh): a test that
# fails under wine runs once more, and ctest's output shows both runs.
wine_ctest_args=(--repeat until-pass:2)

wine_prefix_args=()
stop_wine_server() {
  [[ ${#wine_prefix_args[@]} -gt 0 ]] || return 0
  "$root/cmake/wine-run.sh" "${wine_prefix_args[@]}" --stop-server || true
}

leg_win64() {
  if windows_tools_missing win64 x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix \
    x86_64-w64-mingw32-objdump /usr/lib/wine/wine64 /usr/lib/wine/wineserver64; then
    return 0
  fi
  if [[ ! -d /usr/src/googletest ]]; then
    if [[ $require_windows -eq 1 ]]; then
      echo "test.sh: win64: /usr/src/googletest missing (install googletest)" >&2
      return 1
    fi
    warn_loudly "win64 leg SKIPPED: /usr/src/googletest missing (install googletest)"
    record_skip "missing /usr/src/googletest"
    return 0
  fi
  local dir=$build_root/win64
  configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQLOGGER_GTEST_SOURCE=/usr/src/googletest

  local exports check=0
  mapfile -t exports < <(header_exports)
  "$root/scripts/check-dll.sh" --machine x86-64 "$dir/vqlogger.dll" "${exports[@]}" || check=$?
  if [[ $check -eq 0 ]]; then record_counts 1 0; else record_counts 0 1; record_failure "check-dll.sh"; fi

  # One persistent wineserver for the whole run (the toolchain file names
  # the same prefix); the first start creates the prefix (~10 s).
  wine_prefix_args=(--prefix="$dir/wineprefix")
  trap stop_wine_server EXIT
  trap 'stop_wine_server; exit 130' INT TERM
  local started=$SECONDS
  "$root/cmake/wine-run.sh" "${wine_prefix_args[@]}" --start-server
  echo "-- wine64 ready in $((SECONDS - started)) s"
  run_ctest "$dir" "${wine_ctest_args[@]}"
  ship_under_wine "$dir" /usr/lib/wine/wine64 || check=1
  return "$check"
}

describe() {
  case "$1" in
    setup) echo "install-deps.sh and the win32 verdicts against a misbehaving mirror (tests/setup)" ;;
    native) echo "native build (RelWithDebInfo) + ctest" ;;
    asan) echo "AddressSanitizer + UndefinedBehaviorSanitizer build + ctest" ;;
    tsan) echo "ThreadSanitizer (scripts/tsan.sh)" ;;
    fuzz) echo "fuzz targets (scripts/fuzz.sh)" ;;
    bench) echo "benchmark smoke run (scripts/bench-smoke.sh)" ;;
    contrib) echo "rsyslog pipeline and lnav format (scripts/contrib-test.sh)" ;;
    win32) echo "32-bit Windows DLL (i686-w64-mingw32) + export/import check + ctest under 32-bit wine" ;;
    win64) echo "64-bit Windows build (x86_64-w64-mingw32) + ctest under wine64" ;;
  esac
}

# ---------------------------------------------------------------------------
# Run the selected legs.

# On a fresh machine, run as root, install what the legs need first.
if [[ $(id -u) -eq 0 ]]; then
  bash "$root/scripts/install-deps.sh"
fi

ran_legs=()
total_start=$SECONDS
for current_leg in "${all_legs[@]}"; do
  selected "$current_leg" || continue
  ran_legs+=("$current_leg")
  banner "[$current_leg] $(describe "$current_leg")"
  leg_start=$SECONDS
  set +e
  (
    set -e
    "leg_$current_leg"
  )
  status=$?
  set -e
  echo "$status $((SECONDS - leg_start))" >"$results_dir/$current_leg.status"
  if [[ $status -ne 0 ]]; then
    echo "-- [$current_leg] FAILED (exit $status)" >&2
    # A leg that failed without a failing test to show for it (build error,
    # missing tool) counts as one failure.
    passed=0 failed=0 skipped=0
    if [[ -f $results_dir/$current_leg.counts ]]; then
      read -r passed failed skipped <"$results_dir/$current_leg.counts"
    fi
    if [[ $failed -eq 0 ]]; then
      record_counts 0 1
      record_failure "the leg itself (exit $status; see its output)"
    fi
  fi
done

banner "summary"
total_passed=0
total_failed=0
total_skipped=0
failed_legs=0
for leg in "${ran_legs[@]}"; do
  read -r status seconds <"$results_dir/$leg.status"
  passed=0 failed=0 skipped=0
  if [[ -f $results_dir/$leg.counts ]]; then
    read -r passed failed skipped <"$results_dir/$leg.counts"
  fi
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  total_skipped=$((total_skipped + skipped))
  counts="$passed passed"
  [[ $status -eq 0 ]] || counts+=", $failed failed"
  [[ $skipped -eq 0 ]] || counts+=", $skipped skipped"
  if [[ $status -ne 0 ]]; then
    failed_legs=$((failed_legs + 1))
    verdict="FAILED   $counts"
  elif [[ -f $results_dir/$leg.skipped ]]; then
    verdict="SKIPPED  $(cat "$results_dir/$leg.skipped")"
  else
    verdict="passed   $counts"
    if [[ -f $results_dir/$leg.note ]]; then verdict+=" ($(cat "$results_dir/$leg.note"))"; fi
  fi
  printf '  %-7s %5d s  %s\n' "$leg" "$seconds" "$verdict"
  if [[ $status -ne 0 && -f $results_dir/$leg.failures ]]; then
    sed 's/^/            failed: /' "$results_dir/$leg.failures"
  fi
done
printf '  total   %5d s\n' $((SECONDS - total_start))
if [[ -e $results_dir/windows-skipped ]]; then
  warn_loudly "the Windows build was NOT tested: MinGW-w64 or wine is missing (see above)"
fi
if [[ -e $results_dir/win32-inspected-only ]]; then
  warn_loudly "the shipping 32-bit DLL was only inspected, not tested: $(cat "$results_dir/win32-inspected-only") (see the win32 leg)"
fi
echo "summary: $total_passed passed, $total_failed failed, $total_skipped skipped"
[[ $failed_legs -eq 0 ]]
