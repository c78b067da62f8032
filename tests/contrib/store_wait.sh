# Sourced by the contrib tests. Needs $store, $work, $bound, $writer, $logs
# and the functions fail, expected and arrived (sorted lines of the logs and
# the store).
store_count() { cat "$store"/*.jsonl 2>/dev/null | wc -l; }

# Waits until every record of the logs is in the store, or the bound.
wait_for_delivery() {
  local deadline=$((SECONDS + bound))
  expected >"$work/expected.txt"
  until (($(arrived | LC_ALL=C comm -23 "$work/expected.txt" - | wc -l) == 0)); do
    if ((SECONDS >= deadline)); then
      echo "-- not every record arrived within $bound s"
      return 0
    fi
    sleep 0.2
  done
}

# Starts 3 writers with TAG ROUNDS PAUSE_MS; their pids in writer_pids, what
# they print (records written) appended to $work/written.txt.
writer_pids=()
start_writers() {
  local tag=$1 rounds=$2 pause=$3 i
  writer_pids=()
  for i in 1 2 3; do
    "$writer" "$logs" "$tag$i" "$rounds" "$pause" >>"$work/written.txt" &
    writer_pids+=($!)
  done
}
wait_writers() {
  local pid
  for pid in "${writer_pids[@]}"; do wait "$pid" || fail "writer $pid failed"; done
}

# Compares the logs with the store, as multisets (a record missing or
# arriving twice counts once per copy). Sets written, got (records in the
# store), lost, extra (in the store, not in the logs: $work/extra.txt) and
# dup (of those, copies of a logged record).
count_delivery() {
  expected >"$work/expected.txt"
  arrived >"$work/arrived.txt"
  written=$(wc -l <"$work/expected.txt")
  got=$(wc -l <"$work/arrived.txt")
  lost=$(LC_ALL=C comm -23 "$work/expected.txt" "$work/arrived.txt" | wc -l)
  LC_ALL=C comm -13 "$work/expected.txt" "$work/arrived.txt" >"$work/extra.txt"
  extra=$(wc -l <"$work/extra.txt")
  dup=$(LC_ALL=C grep -cFxf "$work/expected.txt" "$work/extra.txt" || true)
}
