#!/usr/bin/env bash
# What `vqlog ship` costs beside the rsyslog edge: 4 processes write 220,000
# records (tests/contrib/pipeline_writer, 6,875 rounds of 8 each) while the
# shipper follows the log directory and sends them to the real central on
# 127.0.0.1; once all are in the store, the shipper stops and the rsyslog
# edge (contrib/rsyslog/edge.conf) sends the same logs to the same central.
# Prints each one's CPU (user + system, from /proc) per record, its peak
# resident memory and how long the store took to get every record.
#
# Usage: scripts/ship-cost.sh VQLOG WRITER [--no-edge]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
vqlog=$1
writer=$2
edge=1
[[ ${3:-} != --no-edge ]] || edge=0
pipeline=$root/contrib/rsyslog/run-pipeline.sh
export VQLOGGER_VQLOG=$(realpath "$vqlog")  # the central reads the rsyslog edge's records with it
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
pki=$work/pki/edge
"$vqlog" ship --to "127.0.0.1:$(<"$work/run/port")" --ca "$pki/ca.pem" --cert "$pki/cert.pem" --key "$pki/key.pem" \
  --state "$work/ship.state" "$work/logs" 2>"$work/ship.err" &
ship_pid=$!

# cost NAME PID SECONDS: CPU seconds and µs a record, peak RSS.
cost() {
  local ticks hz rss
  hz=$(getconf CLK_TCK)
  ticks=$(awk '{ print $14 + $15 }' "/proc/$2/stat")
  rss=$(awk '/^VmHWM:/ { print $2 }' "/proc/$2/status")
  awk -v n="$1" -v t="$ticks" -v hz="$hz" -v r="$records" -v rss="$rss" -v s="$3" \
    'BEGIN { printf "%-12s CPU %.2f s, %.1f µs a record, peak RSS %.1f MB; all in the store after %d s\n",
             n, t / hz, t / hz / r * 1e6, rss / 1024, s }'
}
# Waits until the store holds N lines (at most 10 minutes).
store_holds() {
  local deadline=$((SECONDS + 600))
  while (($(cat "$work/central"/*.jsonl 2>/dev/null | wc -l) < $1)) && ((SECONDS < deadline)); do sleep 0.5; done
  (($(cat "$work/central"/*.jsonl | wc -l) >= $1)) || echo "-- the store holds $(cat "$work/central"/*.jsonl | wc -l) of $1"
}

start=$SECONDS
pids=()
for i in 1 2 3 4; do
  "$writer" "$work/logs" "cost$i" $((records / 32)) 0 >/dev/null &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
echo "records: $records written by 4 processes in $((SECONDS - start)) s"
store_holds "$records"
cost "vqlog ship" "$ship_pid" $((SECONDS - start))
grep -v ', a new log$' "$work/ship.err" || true
kill -TERM "$ship_pid"
wait "$ship_pid" || true
ship_pid=

if ((edge == 1)); then
  start=$SECONDS
  "$pipeline" --start-edge "$work" >/dev/null
  store_holds $((2 * records))
  cost "rsyslog edge" "$(<"$work/run/edge/daemon.pid")" $((SECONDS - start))
fi
awk -v t="$(awk '{ print $14 + $15 }' "/proc/$(<"$work/run/central/daemon.pid")/stat")" -v hz="$(getconf CLK_TCK)" \
  'BEGIN { printf "central      CPU %.2f s for all it stored (its vqlog rsyslog-parse not counted)\n", t / hz }'
