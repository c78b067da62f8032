#!/usr/bin/env bash
# What `vqlog ship` costs beside the rsyslog edge: 4 processes write 220,000
# records (tests/contrib/pipeline_writer, 6,875 rounds of 8 each) while the
# shipper and the edge (contrib/rsyslog/edge.conf) both follow the log
# directory and send to the same real central on 127.0.0.1. Prints each
# one's CPU (user + system, from /proc) per record and its peak resident
# memory once the store holds every record twice.
#
# Usage: scripts/ship-cost.sh VQLOG WRITER [--no-edge]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
vqlog=$1
writer=$2
edge=1
[[ ${3:-} != --no-edge ]] || edge=0
pipeline=$root/contrib/rsyslog/run-pipeline.sh
export VQLOGGER_VQLOG=$vqlog  # the central reads the rsyslog edge's records with it
records=220000
work=$(mktemp -d)
ship_pid=
cleanup() {
  [[ -z $ship_pid ]] || kill -TERM "$ship_pid" 2>/dev/null || true
  "$pipeline" --stop "$work" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

"$pipeline" --start-central "$work" >/dev/null
((edge == 0)) || "$pipeline" --start-edge "$work" >/dev/null
pki=$work/pki/edge
"$vqlog" ship --to "127.0.0.1:$(<"$work/run/port")" --ca "$pki/ca.pem" --cert "$pki/cert.pem" --key "$pki/key.pem" \
  --state "$work/ship.state" "$work/logs" 2>"$work/ship.err" &
ship_pid=$!

start=$SECONDS
pids=()
for i in 1 2 3 4; do
  "$writer" "$work/logs" "cost$i" $((records / 32)) 0 >/dev/null &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
written=$SECONDS
want=$((records * (1 + edge)))
deadline=$((SECONDS + 600))
while (($(cat "$work/central"/*.jsonl | wc -l) < want)) && ((SECONDS < deadline)); do sleep 0.5; done
got=$(cat "$work/central"/*.jsonl | wc -l)

# cost NAME PID: CPU seconds and µs a record, peak RSS.
cost() {
  local ticks hz rss
  hz=$(getconf CLK_TCK)
  ticks=$(awk '{ print $14 + $15 }' "/proc/$2/stat")
  rss=$(awk '/^VmHWM:/ { print $2 }' "/proc/$2/status")
  awk -v n="$1" -v t="$ticks" -v hz="$hz" -v r="$records" -v rss="$rss" \
    'BEGIN { printf "%-10s CPU %.2f s, %.1f µs a record, peak RSS %.1f MB\n", n, t / hz, t / hz / r * 1e6, rss / 1024 }'
}
echo "records: $records written in $((written - start)) s; in the store: $got of $want," \
  "$((SECONDS - written)) s after the writers ended"
cost "vqlog ship" "$ship_pid"
((edge == 0)) || cost "rsyslog edge" "$(<"$work/run/edge/daemon.pid")"
cost "central" "$(<"$work/run/central/daemon.pid")"
if [[ -s $work/ship.err ]]; then
  echo "vqlog ship said:"
  head -n 5 "$work/ship.err"
fi
