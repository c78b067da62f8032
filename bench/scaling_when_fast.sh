#!/usr/bin/env bash
# Runs the scaling comparison only while the thread-to-thread round trip is
# short. On a virtual machine whose host moves its vCPUs about, that figure
# changes from one minute to the next, and group commit's results with it.
# Samples it every 5 seconds for up to SECONDS; each time it is under LIMIT
# ns, runs `--scaling` and keeps the output in OUT/scaling-N.txt. At the end
# it prints the round trips it saw (OUT/round-trips.txt holds each sample).
#   bench/scaling_when_fast.sh [build-dir] [seconds] [limit-ns] [out-dir]
set -euo pipefail
build=${1:-build/bench}
seconds=${2:-600}
limit=${3:-250}
out=${4:-$build/scaling-when-fast}
prog=$build/bench/vqlogger_peer_compare
[ -x "$prog" ] || { echo "missing $prog: build with -DVQLOGGER_BUILD_BENCH=ON" >&2; exit 1; }
mkdir -p "$out"
end=$(( $(date +%s) + seconds ))
runs=0
: >"$out/round-trips.txt"
while [ "$(date +%s)" -lt "$end" ]; do
  trip=$("$prog" --round-trip)
  echo "$(date +%T) $trip" >>"$out/round-trips.txt"
  if [ "$trip" -lt "$limit" ]; then
    runs=$((runs + 1))
    "$prog" --scaling --rounds 7 --records 20000 >"$out/scaling-$runs.txt"
    echo "$(date +%T) round trip $trip ns: $out/scaling-$runs.txt ($(sed -n 2p "$out/scaling-$runs.txt"))"
  else
    sleep 5
  fi
done
echo "$runs runs in $seconds s"
sort -n -k2 "$out/round-trips.txt" | awk '{ v[NR] = $2 } $2 < limit { under++ }
  END { if (NR) printf "round trips seen: %d samples, min %d, median %d, max %d ns; %d under %d ns\n",
        NR, v[1], v[int((NR + 1) / 2)], v[NR], under, limit }' limit="$limit"
