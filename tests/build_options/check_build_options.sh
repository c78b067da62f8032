#!/usr/bin/env bash
# Configures vqlogger the ways users of CMake do, each in a fresh tree, and
# checks what each configure gives: the library alone needs no GoogleTest;
# tests asked for without GoogleTest fail with one clear message; a host
# that adds vqlogger with add_subdirectory or FetchContent gets only the
# library, even with BUILD_TESTING on for its own tests.
#
#   check_build_options.sh SOURCE_DIR WORK_DIR [C_COMPILER CXX_COMPILER]
set -uo pipefail
source_dir=$1
work=$2
compilers=()
[[ -z ${3-} ]] || compilers+=("-DCMAKE_C_COMPILER=$3")
[[ -z ${4-} ]] || compilers+=("-DCMAKE_CXX_COMPILER=$4")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
rm -rf "$work"
mkdir -p "$work"

no_gtest=-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
missing_gtest="vqlogger: the tests need GoogleTest, which was not found. Install it (Debian: googletest libgtest-dev), point VQLOGGER_GTEST_SOURCE at its source tree, or configure with -DBUILD_TESTING=OFF (or -DVQLOGGER_BUILD_TESTS=OFF) to build the library alone."

# Each case: name | project (top or host) | configure outcome (ok or fail) |
# targets that must exist | targets that must not | cache arguments.
cases=(
  "library alone, BUILD_TESTING=OFF|top|ok|vqlogger|vqlogger_unit_tests vqlogger_scenario_tests|-DBUILD_TESTING=OFF $no_gtest"
  "library alone, VQLOGGER_BUILD_TESTS=OFF|top|ok|vqlogger|vqlogger_unit_tests|-DVQLOGGER_BUILD_TESTS=OFF $no_gtest"
  "tests asked for, no GoogleTest|top|fail|||$no_gtest"
  "add_subdirectory host|host|ok|vqlogger host_app|vqlogger_unit_tests vqlogger_scenario_tests vqlog|-DVQLOGGER_HOW=subdirectory $no_gtest"
  "FetchContent host|host|ok|vqlogger host_app|vqlogger_unit_tests vqlogger_scenario_tests vqlog|-DVQLOGGER_HOW=fetchcontent $no_gtest"
  "host opting in to the tests|host|ok|vqlogger vqlogger_unit_tests|vqlog|-DVQLOGGER_HOW=subdirectory -DVQLOGGER_BUILD_TESTS=ON"
)
# The Windows cross configure of the library alone, where MinGW is there.
if command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1 && command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
  cases+=("Windows library alone, BUILD_TESTING=OFF|top|ok|vqlogger|vqlogger_unit_tests|-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++ -DBUILD_TESTING=OFF")
else
  echo "note: x86_64-w64-mingw32-gcc missing: the Windows cross configure is not checked"
fi

failures=0
fail() {
  echo "FAIL [$name]: $*"
  failures=$((failures + 1))
}

# Prints the text of every CMake error in a configure log, one a line, as
# one paragraph with single spaces (CMake wraps and indents it).
error_texts() {
  awk '/^CMake Error/ { inside = 1; text = ""; next }
       inside && /^[[:space:]]*$/ { if (text != "") { print text; inside = 0 }; next }
       inside { sub(/^[[:space:]]+/, ""); text = text == "" ? $0 : text " " $0 }' "$1" |
    sed -e 's/  */ /g'
}

# Prints the build tree's targets, one a line. A listing with no target at
# all is the build tool failing, not the configuration (every tree has
# "all"): it is asked once more, and its output kept in $1.help.
targets_of() {
  local attempt listed
  for attempt in 1 2; do
    listed=$(cmake --build "$1" --target help 2>&1 | tee "$1.help" | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p')
    [[ -z $listed ]] || break
  done
  printf '%s\n' "$listed"
}

index=0
for entry in "${cases[@]}"; do
  IFS='|' read -r name project outcome present absent args <<<"$entry"
  index=$((index + 1))
  tree=$work/case$index
  source=$source_dir
  extra=()
  if [[ $project == host ]]; then
    source=$here/host
    extra+=("-DVQLOGGER_SOURCE=$source_dir")
  fi
  # Cross cases name their own compilers.
  if [[ $args != *CMAKE_C_COMPILER=* ]]; then extra+=("${compilers[@]}"); fi
  read -r -a arg_list <<<"$args"
  status=0
  cmake -S "$source" -B "$tree" "${extra[@]}" "${arg_list[@]}" >"$tree.log" 2>&1 || status=$?
  if [[ $outcome == ok && $status -ne 0 ]]; then
    fail "configure failed (exit $status):"
    sed 's/^/    /' "$tree.log"
    continue
  fi
  if [[ $outcome == fail ]]; then
    if [[ $status -eq 0 ]]; then
      fail "configure succeeded without GoogleTest"
    elif [[ $(error_texts "$tree.log") != "$missing_gtest" ]]; then
      fail "not the one message about GoogleTest; the configure said:"
      sed 's/^/    /' "$tree.log"
    else
      echo "ok   [$name]"
    fi
    continue
  fi
  mapfile -t targets < <(targets_of "$tree")
  ok=1
  for target in $present; do
    if ! printf '%s\n' "${targets[@]}" | grep -qxF -- "$target"; then
      fail "target $target missing; the target listing said:"
      sed 's/^/    /' "$tree.help"
      ok=0
    fi
  done
  for target in $absent; do
    if printf '%s\n' "${targets[@]}" | grep -qxF -- "$target"; then
      fail "target $target present"
      ok=0
    fi
  done
  [[ $ok -eq 0 ]] || echo "ok   [$name]"
done

echo "$failures failure(s) in ${#cases[@]} configure case(s)"
[[ $failures -eq 0 ]]
