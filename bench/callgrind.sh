#!/usr/bin/env bash
# User-space instructions per record under callgrind, for vqlogger, spdlog
# and the floor. Instruction counts do not depend on machine load, so they
# are repeatable on a noisy machine. Two runs of different lengths per sink
# cancel out the start-up cost: (Ir(N2) - Ir(N1)) / (N2 - N1).
#   bench/callgrind.sh [build-dir] [message-size]
set -euo pipefail
build=${1:-build/bench}
size=${2:-100}
prog=$build/bench/vqlogger_peer_compare
[ -x "$prog" ] || { echo "missing $prog: build with -DVQLOGGER_BUILD_BENCH=ON" >&2; exit 1; }
n1=2000
n2=12000
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
total() {
  valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" "$prog" --one "$1" "$size" "$2" >/dev/null 2>&1
  callgrind_annotate "$out/cg.out" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }'
}
printf '%-10s %8s %18s\n' logger bytes "instructions/rec"
for sink in floor vqlogger spdlog vq-wide vq-hex vq-fmt; do
  a=$(total "$sink" "$n1")
  b=$(total "$sink" "$n2")
  printf '%-10s %8s %18d\n' "$sink" "$size" $(( (b - a) / (n2 - n1) ))
done
