# Sourced by the contrib tests. Needs $store, $work, $bound and the
# functions expected and arrived (sorted lines of the logs and the store).
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
