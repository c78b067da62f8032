#!/usr/bin/env bash
# Contrib leg: the rsyslog pipeline with the real daemons on 127.0.0.1
# (tests/contrib/pipeline_test.sh), `vqlog ship` to the real central
# (tests/contrib/ship_test.sh) and the lnav format, headless
# (tests/contrib/lnav_test.sh). Builds the library, vqlog and the test
# writer under $VQLOGGER_BUILD_ROOT/contrib with $JOBS cores. Prints
# ctest-like counts and exits non-zero when a test fails.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VQLOGGER_BUILD_ROOT:-$root/build}/contrib
jobs=${JOBS:-$(nproc)}

missing=()
for tool in rsyslogd lnav jq openssl cc cmake; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "contrib-test.sh: missing ${missing[*]} (scripts/install-deps.sh installs them)" >&2
  exit 1
fi

set -e
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQLOGGER_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target vqlogger vqlog
cc -std=c11 -Wall -Wextra -Werror -O1 -I"$root/include" "$root/tests/contrib/pipeline_writer.c" \
  -o "$build/vq_pipe_writer" -L"$build" -lvqlogger -Wl,-rpath,"$build"
set +e

tests=(pipeline ship lnav)
failed=()
for name in "${tests[@]}"; do
  echo "-- $name test"
  case "$name" in
    pipeline) "$root/tests/contrib/pipeline_test.sh" "$build/tools/vqlog" "$build/vq_pipe_writer" "$build/pipeline-work" ;;
    ship) "$root/tests/contrib/ship_test.sh" "$build/tools/vqlog" "$build/vq_pipe_writer" "$build/ship-work" ;;
    lnav) "$root/tests/contrib/lnav_test.sh" "$build/tools/vqlog" "$build/lnav-work" ;;
  esac || failed+=("$name")
done

total=${#tests[@]}
if [[ ${#failed[@]} -eq 0 ]]; then
  echo "100% tests passed, 0 tests failed out of $total"
  exit 0
fi
echo "$(((total - ${#failed[@]}) * 100 / total))% tests passed, ${#failed[@]} tests failed out of $total"
echo "The following tests FAILED:"
for i in "${!failed[@]}"; do echo "  $((i + 1)) - ${failed[i]} (Failed)"; done
exit 1
