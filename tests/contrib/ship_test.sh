#!/usr/bin/env bash
# `vqlog ship` against the real central rsyslogd (contrib/rsyslog/central.conf
# through run-pipeline.sh, on 127.0.0.1): processes write records, the
# shipper sends them, and the store must hold each record once with the
# values of `vqlog show --json` (all keys but host and peer, log_line
# included). Phases: normal delivery; the central killed with kill -9 and
# started again; the shipper killed with kill -9 and started again; a clean
# stop, after which the state holds every log to its end; a log gone before
# it was shipped; a central the shipper must refuse (another CA, another
# name); a server that sends garbage. Prints, for each phase, the records
# written, arrived, lost and duplicated.
#
# Usage: ship_test.sh VQLOG WRITER WORKDIR [WRAPPER...]
#   VQLOG    the vqlog tool; WRITER tests/contrib/pipeline_writer built
#   WRAPPER  a command that runs VQLOG (e.g. wine64 for vqlog.exe); the
#            central then needs a native vqlog in VQLOGGER_VQLOG. Under a
#            wrapper the edge's key is RSA (wine's TLS cannot use an EC
#            client key) and phases 1 to 3 run: the rest stop the shipper
#            by SIGTERM, which Windows programs do not get.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
vqlog=$1
writer=$2
work=$3
shift 3
run_vqlog=("$@" "$vqlog")
pipeline=$root/contrib/rsyslog/run-pipeline.sh
export VQLOGGER_VQLOG=${VQLOGGER_VQLOG:-$(realpath "$vqlog")}  # the central reads rsyslog edges' records with it
bound=60  # seconds a phase may take to deliver
window=128 save_acks=1024  # RelpClient::kWindow, kStateSaveAcks

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
logs=$work/logs
store=$work/central
pki=$work/pki
ship_pid=
stranger=

cleanup() {
  [[ -z $ship_pid ]] || kill -KILL "$ship_pid" 2>/dev/null || true
  [[ -z $stranger ]] || kill -KILL "$stranger" 2>/dev/null || true
  "$pipeline" --stop "$work" >/dev/null 2>&1 || true
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

((${#run_vqlog[@]} == 1)) || VQLOGGER_KEY_TYPE=rsa "$root/contrib/rsyslog/make-certs.sh" "$pki" edge >/dev/null
"$pipeline" --start-central "$work" >/dev/null
port=$(<"$work/run/port")

# ship [CA_DIR [TO]]: starts the shipper in the background, stderr appended
# to ship.err.
ship() {
  local certs=${1:-$pki/edge} to=${2:-127.0.0.1:$port}
  "${run_vqlog[@]}" ship --to "$to" --ca "$certs/ca.pem" --cert "$pki/edge/cert.pem" --key "$pki/edge/key.pem" \
    --state "$work/ship.state" --host shipper-test -- "$logs" 2>>"$work/ship.err" &
  ship_pid=$!
}
stop_ship() {
  kill -TERM "$ship_pid"
  local status=0
  timeout "$bound" tail --pid="$ship_pid" -f /dev/null || fail "the shipper did not stop within $bound s of SIGTERM"
  wait "$ship_pid" || status=$?
  ((status == 0)) || fail "the shipper stopped with status $status"
  ship_pid=
}

# Records as `vqlog show --json` reads them, and as the store holds them.
expected() { "${run_vqlog[@]}" show --json -- "$logs" 2>/dev/null | jq -cS . | LC_ALL=C sort; }
arrived() { cat "$store"/*.jsonl 2>/dev/null | jq -cS 'del(.host, .peer)' | LC_ALL=C sort; }
source "$root/tests/contrib/store_wait.sh"

written_before=0 dup_before=0
check_phase() {  # check_phase PHASE ALLOWED_DUPLICATES
  local phase=$1 allowed=$2 written got lost extra dup
  count_delivery
  echo "$phase: written $written ($((written - written_before)) in this phase), arrived $got, lost $lost," \
    "duplicated $((dup - dup_before)) in this phase (up to $allowed allowed), altered $((extra - dup))"
  ((lost == 0 && extra == dup && dup - dup_before <= allowed)) || {
    fail "$phase: the store differs from vqlog show --json"
    diff "$work/expected.txt" "$work/arrived.txt" | head -n 6 >&2 || true
  }
  written_before=$written dup_before=$dup
}

# Waits until the store has grown by N records while the writers run.
wait_growth() {
  local until=$(($(store_count) + $1)) deadline=$((SECONDS + bound))
  while (($(store_count) < until)) && ((SECONDS < deadline)); do sleep 0.05; done
  kill -0 "${writer_pids[0]}" 2>/dev/null || fail "$2: the writers ended before the kill"
}

# 1. Lines the parser must get right, and a normal run.
mkdir -p "$logs"
odd=$logs/odd_host_77_2026-12-9-0-3-8
printf '%s\r\n' $'\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL' \
  $'2026-12-9 0:3:8.7\t11\tsrc/we\tird.c\t6\ttab in the file name\t2' \
  $'2026-12-9 0:3:8.8\t11\tsrc/line\nfeed.c\t7\tline feed in the file name\t2' \
  'Null Pointer Error' 'not a record at all' >"${odd}_runtime.log"
printf '%s\r\n' $'\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION' \
  $'2026-12-9 0:3:8.9\t11\tsrc/b.c\t62\ta &&\n    b' $'2026-12-9 0:3:8.10\t11\tsrc/b.c\t63\tcr\r\nlf inside' \
  $'2026-12-9 0:3:8.11\t11\tsrc/b.c\t64\tthe last one' >"${odd}_assert.log"
# A link in the log directory, to a file the shipper's user may read, is
# not shipped (natively: wine shows a Unix link as the file it names).
link=$logs/link_1_2026-12-9-0-0-0_runtime.log
if ((${#run_vqlog[@]} == 1)); then
  echo "private text" >"$work/private"
  ln -s "$work/private" "$link"
fi
ship
start_writers normal 20 0
wait_writers
wait_for_delivery
if [[ -L $link ]]; then
  rm "$link"
  ! grep -q "private text" "$store"/*.jsonl || fail "a linked file was shipped"
  grep -qxF "vqlog: skipped $link: a symbolic link" "$work/ship.err" ||
    fail "no note for the link: $(head -n 2 "$work/ship.err")"
fi
check_phase normal 0

# 2. The central killed under load, and started again: the shipper waits,
# says so, and sends what was not acknowledged.
start_writers central-killed 300 10
wait_growth 300 "central killed"
kill -KILL "$(<"$work/run/central/daemon.pid")"
sleep 3
"$pipeline" --start-central "$work" >/dev/null
wait_writers
wait_for_delivery
check_phase "central killed" "$window"
tr -d '\r' <"$work/ship.err" | grep -qE "^vqlog: central 127\.0\.0\.1:$port unreachable \(.*\); retrying in [0-9]+ s$" ||
  fail "central killed: no line on stderr for the wait"

# 3. The shipper killed under load, and started again.
start_writers shipper-killed 300 10
wait_growth 300 "shipper killed"
{ kill -KILL "$ship_pid" && wait "$ship_pid"; } 2>/dev/null || true
ship
wait_writers
wait_for_delivery
check_phase "shipper killed" $((window + save_acks))

if ((${#run_vqlog[@]} > 1)); then
  { kill -KILL "$ship_pid" && wait "$ship_pid"; } 2>/dev/null || true
  ship_pid=
  ((failures == 0)) || { echo "ship test under ${run_vqlog[*]}: $failures failure(s)"; exit 1; }
  echo "ship test under ${run_vqlog[*]}: passed (phases 1 to 3)"
  exit 0
fi

# 4. A clean stop: the state names every log, acknowledged to its end.
stop_ship
check_phase "clean stop" 0
want=$(cd "$logs" && for f in *.log; do printf '%s\t%s\n' "$(stat -c %s "$f")" "$logs/$f"; done | LC_ALL=C sort)
got=$(tail -n +2 "$work/ship.state" | cut -f 1,7 | LC_ALL=C sort)
[[ $got == "$want" ]] || fail "the state after a clean stop is not every log to its end: $(diff <(echo "$want") <(echo "$got") | head -n 4)"

# 5. A log gone while the shipper was away, before all of it was acknowledged.
gone=$logs/gone_1_2026-12-9-0-0-0_runtime.log
printf '4096\t9\tR\t1\t2\t3\t%s\n' "$gone" >>"$work/ship.state"
: >"$work/ship.err"
ship
wait_for_delivery
stop_ship
note="vqlog: $gone was deleted before the central acknowledged all of it; acknowledged up to log line 8 (4096 bytes)"
grep -qxF -- "$note" "$work/ship.err" || fail "no note for the log gone: $(head -n 3 "$work/ship.err")"
! grep -qF "$gone" "$work/ship.state" || fail "the state keeps the entry of the log gone"
echo "log gone: $(grep -c . "$work/ship.err") line(s) on stderr, the entry dropped"

# 6. Centrals the shipper must refuse: a certificate of another CA, and one
# for another name ("localhost": the central's names only 127.0.0.1).
"$root/contrib/rsyslog/make-certs.sh" "$work/other-ca" 127.0.0.1 >/dev/null
before=$(store_count)
for refused in "$work/other-ca/127.0.0.1 127.0.0.1:$port" "$pki/edge localhost:$port"; do
  read -r certs to <<<"$refused"
  : >"$work/ship.err"
  start_writers refused 1 0
  wait_writers
  ship "$certs" "$to"
  deadline=$((SECONDS + bound))
  until grep -q "retrying in" "$work/ship.err" || ((SECONDS >= deadline)); do sleep 0.2; done
  stop_ship
  grep -qE "unreachable \(.*certificate.*\); retrying in 1 s$" "$work/ship.err" ||
    fail "to $to with $(basename "$certs")'s CA: not refused for its certificate: $(head -n 2 "$work/ship.err")"
  echo "refused: $(head -n 1 "$work/ship.err")"
done
(($(store_count) == before)) || fail "records went to a central the shipper should have refused"

# 7. A server that answers with garbage or a frame too long: an error, a
# wait, no crash nor hang.
for answer in 'garbage' '1 rsp 999999999 '; do
  : >"$work/ship.err"
  fake=$(mktemp -d "$work/fake.XXXXXX")
  mkfifo "$fake/in"
  fake_port=$((port + 1 + RANDOM % 1000))
  openssl s_server -quiet -naccept 1 -accept "127.0.0.1:$fake_port" -cert "$pki/127.0.0.1/cert.pem" \
    -key "$pki/127.0.0.1/key.pem" <"$fake/in" >/dev/null 2>&1 &
  stranger=$!
  exec 9>"$fake/in"
  printf '%s\n' "$answer" >&9
  sleep 0.5
  ship "$pki/edge" "127.0.0.1:$fake_port"
  deadline=$((SECONDS + bound))
  until grep -q "retrying in" "$work/ship.err" || ((SECONDS >= deadline)); do sleep 0.2; done
  stop_ship
  exec 9>&-
  kill "$stranger" 2>/dev/null || true
  wait "$stranger" 2>/dev/null || true
  stranger=
  grep -qE "unreachable \(a frame from the server is broken \(.*\)\); retrying in 1 s$" "$work/ship.err" ||
    fail "answer '$answer': not taken as a broken frame: $(head -n 2 "$work/ship.err")"
  echo "bad server: $(head -n 1 "$work/ship.err")"
done

if ((failures > 0)); then
  echo "ship test: $failures failure(s)"
  exit 1
fi
echo "ship test: passed"
