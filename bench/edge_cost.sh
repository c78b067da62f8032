#!/usr/bin/env bash
# CPU and memory of the rsyslog edge on a fixed load: 4 processes write
# 220,000 records (tests/contrib/pipeline_writer), then the central and the
# edge of contrib/rsyslog/run-pipeline.sh start on 127.0.0.1 and the edge
# ships them all. Prints the edge's user+system CPU per record (from /proc)
# and its peak resident memory, and the central's CPU beside it.
#   bench/edge_cost.sh VQLOG WRITER [ROUNDS]
#     VQLOG   the vqlog tool (the central runs `vqlog rsyslog-parse`)
#     WRITER  tests/contrib/pipeline_writer, built against the library
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
vqlog=$(realpath "$1")
writer=$(realpath "$2")
rounds=${3:-6875}  # 8 records a round, 4 processes: 220,000
pipeline=$root/contrib/rsyslog/run-pipeline.sh
work=$(mktemp -d)
trap '"$pipeline" --stop "$work" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
mkdir -p "$work/logs"
for i in 1 2 3 4; do "$writer" "$work/logs" "load$i" "$rounds" 0 >/dev/null & done
wait
want=$((rounds * 8 * 4))
export VQLOGGER_VQLOG=$vqlog
"$pipeline" --start-central "$work" >/dev/null
start=$SECONDS
"$pipeline" --start-edge "$work" >/dev/null
edge=$(<"$work/run/edge/daemon.pid")
central=$(<"$work/run/central/daemon.pid")
cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }  # clock ticks
stored=0
until ((stored >= want)); do
  ((SECONDS - start < 600)) || { echo "edge_cost.sh: only $stored of $want records stored in 600 s" >&2; exit 1; }
  sleep 0.5
  stored=$(cat "$work/central"/*.jsonl 2>/dev/null | wc -l)
done
hz=$(getconf CLK_TCK)
children=0
for c in $(pgrep -P "$central"); do children=$((children + $(cpu "$c"))); done
awk -v n="$want" -v e="$(cpu "$edge")" -v c="$(cpu "$central")" -v k="$children" -v hz="$hz" \
  -v rss="$(awk '/VmHWM/ { print $2 }' "/proc/$edge/status")" -v s=$((SECONDS - start)) 'BEGIN {
  printf "records %d, stored in %d s\n", n, s
  printf "edge:    %.2f s CPU, %.1f us a record, %.1f MB peak resident\n", e / hz, e / hz / n * 1e6, rss / 1024
  printf "central: %.2f s CPU (rsyslogd), %.2f s (vqlog rsyslog-parse)\n", c / hz, k / hz }'
