#!/usr/bin/env bash
# The rsyslog pipeline end to end, with the real daemons on 127.0.0.1
# (contrib/rsyslog/run-pipeline.sh): processes write every kind of record
# into WORKDIR/logs, and the central store must end up with each record
# exactly once, its fields equal to those of `vqlog show --json` for the
# source files. Phases: crafted lines; normal delivery; the central daemon
# stopped while records are written, then started again; the edge daemon
# restarted while the processes write; the edge restarted while it holds
# records for an absent central daemon. Prints, for each phase, the records
# written, arrived, lost and duplicated.
#
# Usage: pipeline_test.sh VQLOG WRITER WORKDIR
#   VQLOG   the vqlog tool; WRITER tests/contrib/pipeline_writer built
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
vqlog=$1
writer=$2
export VQLOGGER_VQLOG=$vqlog  # the central reads the edge's records with it
work=$3
pipeline=$root/contrib/rsyslog/run-pipeline.sh
bound=30  # seconds a phase may take to deliver

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
logs=$work/logs
store=$work/central

cleanup() { "$pipeline" --stop "$work" >/dev/null 2>&1 || true; }
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The keys both sides share. exe and pid join them once `vqlog show --json`
# prints them; until then they are checked against the file name below.
shared_keys='kind,time,thread,file,line,message,expression,level,text,log'
expected() {
  local keys=$shared_keys
  "$vqlog" show --json "$logs"/*.log >"$work/show.jsonl"
  if head -n 1 "$work/show.jsonl" | jq -e 'has("exe")' >/dev/null; then keys+=,exe,pid; fi
  jq -c "{$keys} | with_entries(select(.value != null))" "$work/show.jsonl" | LC_ALL=C sort
}
arrived() {
  local keys=$shared_keys
  if head -n 1 "$work/show.jsonl" | jq -e 'has("exe")' >/dev/null; then keys+=,exe,pid; fi
  cat "$store"/*.jsonl 2>/dev/null | jq -c "{$keys} | with_entries(select(.value != null))" | LC_ALL=C sort
}
source "$root/tests/contrib/store_wait.sh"

# Compares the store with the logs; prints the counts of the phase.
# check_phase PHASE [RESENT]: none may be lost, up to RESENT arrive twice
# (RELP sends again what it holds no acknowledgement for).
check_phase() {
  local phase=$1 allowed=${2:-0} may_lose=${3:-0}
  local written got lost extra dup
  count_delivery
  phase_dup=$((dup - dup_before))
  echo "$phase: written $written ($((written - written_before)) in this phase), arrived $got," \
    "lost $lost, duplicated $dup ($phase_dup in this phase), altered $((extra - dup)) ($((SECONDS - phase_start)) s)"
  phase_start=$SECONDS
  written_before=$written
  dup_before=$dup
  ((lost <= lost_before + may_lose)) && ((lost > lost_before)) &&
    echo "-- $phase: $((lost - lost_before)) records lost (up to $may_lose let through)"
  ((lost > lost_before + may_lose)) || lost_before=$lost
  if ((lost == lost_before && extra == dup && phase_dup <= allowed)); then
    ((phase_dup == 0)) || echo "-- $phase: $phase_dup records sent again (up to $allowed let through)"
  else
    fail "$phase: the store differs from vqlog show --json"
    diff "$work/expected.txt" "$work/arrived.txt" | head -n 10 >&2 || true
  fi
  # exe and pid from the log's file name, peer from the store's file name.
  local bad
  bad=$(for f in "$store"/*.jsonl; do
    jq -c --arg peer "$(basename "$f" .jsonl)" '
      ((.log | split("/") | last | capture("^(?<exe>.*)_(?<pid>[0-9]+)_[0-9]+-[0-9]+-[0-9]+-[0-9]+-[0-9]+-[0-9]+_(runtime|assert)\\.log$"))
       // {exe: null, pid: null}) as $n
      | select(.exe != $n.exe or .pid != ($n.pid | if . then tonumber else . end) or .peer != $peer)' "$f"
  done | head -n 3)
  [[ -z $bad ]] || fail "$phase: exe, pid or peer wrong: $bad"
}

writers_running() {
  local pid
  for pid in "${writer_pids[@]}"; do kill -0 "$pid" 2>/dev/null && return 0; done
  return 1
}

"$pipeline" "$work"
phase_start=$SECONDS
written_before=0
dup_before=0
lost_before=0
resent=16  # the edge's RELP window: what it may hold unacknowledged

# 0. Lines a parser gets wrong: written straight into a log pair (exe with
# '_' in its name), one case a line; every one must come out as vqlog reads
# it.
crafted=$logs/crafted_host_77_2026-12-9-0-3-8
long_message=$(printf '%*s' 3999 '' | tr ' ' m)
long_expression=$(printf '%*s' 5000 '' | tr ' ' e)
{
  printf '\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n'
  printf '%s\r\n' \
    $'2026-12-9 0:3:8.7\t11\tsrc/a.c\t1\tseven ms\t1' \
    $'2026-12-9 0:3:8.70\t11\tsrc/a.c\t2\tseventy ms\t1' \
    $'2026-12-31 23:59:59.999\t11\tsrc/a.c\t3\tlast ms of the year\t1' \
    $'2026-12-9 0:3:8.250\t11\tsrc/a.c\t4\t\t0' \
    $'2026-12-9 0:3:8.250\t-12\tsrc/a.c\t-5\tnegative thread, line and level\t-7' \
    $'2026-12-9 0:3:8.251\t11\tsrc/we\tird.c\t6\ttab in the file name\t2' \
    $'2026-12-9 0:3:8.252\t11\t\t7\tempty file name\t2' \
    $'2026-12-9 0:3:8.252\t11\tsrc/line\nfeed.c\t7\tline feed in the file name\t2' \
    $'2026-12-9 0:3:8.253\t11\tsrc/a.c\t8\t{"a": "b\\"} @cee:{"kind":"x"} caf\u00e9 \u2713\t2' \
    $'2026-12-9 0:3:8.254\t11\tsrc/a.c\t9\tLog Message too Long\t-1' \
    $'2026-12-9 0:3:8.254\t11\tsrc/\xff\xc3.c\t9\tbytes that are not UTF-8 in the file name\t1' \
    'Null Pointer Error' \
    'not a record at all' \
    $'2026-12-9 0:3:8.255\t11\tsrc/a.c\t10\t'"$long_message"$'\t3'
} >"${crafted}_runtime.log"
{
  printf '\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION\r\n'
  printf '%s\r\n' \
    $'2026-12-9 0:3:8.7\t11\tsrc/b.c\t60\tx > 0' \
    $'2026-12-9 0:3:8.8\t11\tsrc/b.c\t61\ta\tb\t\tc' \
    $'2026-12-9 0:3:8.9\t11\tsrc/b.c\t62\ta &&\n    b' \
    $'2026-12-9 0:3:8.10\t11\tsrc/b.c\t63\tcr\r\nlf inside' \
    $'2026-12-9 0:3:8.11\t11\tsrc/b.c\t64\t' \
    $'2026-12-9 0:3:8.12\t11\tsrc/b.c\t65\tfirst\n2026-12-9 0:3:8 not a start' \
    $'2026-12-9 0:3:8.13\t11\tsrc/b.c\t66\t'"$long_expression" \
    $'2026-12-9 0:3:8.14\t11\tsrc/b.c\t67\tthe last one'
} >"${crafted}_assert.log"
# Leading zeros in the name's pid and in a thread id: numbers all the same.
printf '%s\r\n' $'\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL' \
  $'2026-12-9 0:3:8.256\t0011\tsrc/a.c\t012\tleading zeros\t01' >"$logs/lz_0042_2026-12-8-9-5-3_runtime.log"
# A log whose name gives no exe and pid: both are left out.
printf '%s\r\n' $'\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL' \
  $'2026-12-9 0:3:8.257\t11\tsrc/a.c\t12\tno exe and pid in this name\t1' >"$logs/odd_runtime.log"
wait_for_delivery
check_phase "crafted lines"

# 1. Normal run.
start_writers normal 20 0
wait_writers
wait_for_delivery
check_phase normal

# 2. The central daemon is away while records are written.
"$pipeline" --stop-central "$work"
before=$(store_count)
start_writers central-down 10 0
wait_writers
# The edge must find the central host away and hold the records: wait for
# it to report the forwarding action suspended.
suspended() { grep -c "action 'vqlogger_forward' suspended" "$work/run/edge/rsyslogd.log" 2>/dev/null || true; }
deadline=$((SECONDS + bound))
while (($(suspended) == 0)) && ((SECONDS < deadline)); do sleep 0.2; done
(($(suspended) > 0)) || fail "central outage: the edge did not report the central host away"
(($(store_count) == before)) || fail "central outage: the store grew while the central daemon was stopped"
"$pipeline" --start-central "$work"
wait_for_delivery
check_phase "central outage" "$resent"

# 3. The edge daemon restarts while the processes write.
start_writers edge-restart 150 40
deadline=$((SECONDS + bound))
grown=$(store_count)
while (($(store_count) < grown + 50)) && ((SECONDS < deadline)); do sleep 0.1; done
writers_running || fail "edge restart: the writers ended before the edge was stopped"
"$pipeline" --stop-edge "$work"
"$pipeline" --start-edge "$work"
writers_running || echo "-- note: the writers ended while the edge was down"
wait_writers
wait_for_delivery
check_phase "edge restart" "$resent"

# 4. The edge restarts while the central host is away: the records wait in
# the logs.
seen=$(suspended)
"$pipeline" --stop-central "$work"
start_writers queued 10 0
wait_writers
deadline=$((SECONDS + bound))
while (($(suspended) == seen)) && ((SECONDS < deadline)); do sleep 0.2; done
(($(suspended) > seen)) || fail "queued restart: the edge did not report the central host away"
"$pipeline" --stop-edge "$work"
"$pipeline" --start-edge "$work"
"$pipeline" --start-central "$work"
wait_for_delivery
# An edge stopped while the central is away loses what it had handed to
# omrelp and not yet acknowledged (at most the window): 2 in 2 runs of 8.
check_phase "edge restart, central away" "$resent" "$resent"

# 5, 6. kill -9 under load of the central, and of the edge (it may send
# again a tenth of what it had delivered). kill_under_load NAME GROWTH ROUNDS PAUSE
kill_under_load() {
  local before=$(store_count) deadline=$((SECONDS + bound))
  start_writers "$1-killed" "$3" "$4"
  while (($(store_count) < before + $2)) && ((SECONDS < deadline)); do sleep 0.05; done
  writers_running || fail "$1 killed: the writers ended before the kill"
  kill -KILL "$(<"$work/run/$1/daemon.pid")"
  sleep 1
  delivered=$(($(store_count) - before))
  "$pipeline" "--start-$1" "$work"
  wait_writers
  wait_for_delivery
}
kill_under_load central 300 200 10
check_phase "central killed" "$resent"
kill_under_load edge 1500 150 20
# imfile rewrites a read-position file in place: a kill in the middle leaves
# it unreadable, and that log is read again from its start (not lost).
torn=0
while read -r log; do
  echo "-- edge killed: the kill tore imfile's read position of $log; it was sent again from its start"
  torn=$((torn + $("$vqlog" show --json "$log" 2>/dev/null | wc -l)))
done < <(grep -o "error reading state file for '[^']*'" "$work/run/edge/rsyslogd.log" | cut -d"'" -f2 | sort -u)
check_phase "edge killed" $((delivered / 10 + torn))

# Both stopped: anything sent late (a duplicate) is in the store now.
"$pipeline" --stop "$work"
check_phase final

# Read positions go with their logs: rsyslogd removes them while it runs, the
# edge's next start those of logs deleted while it was down, noting each.
"$pipeline" "$work" >/dev/null
rm "$crafted"_*.log
# With inotify rsyslogd looks over the directory when it changes, at least
# 5 s after a deletion: a process that starts there makes it look.
sleep 6
printf '\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n' >"$logs/started_1_2026-12-9-0-3-9_runtime.log"
for _ in $(seq $((bound * 2))); do grep -qF "${crafted##*/}" "$work"/run/edge/work/imfile-state:* || break; sleep 0.5; done
"$pipeline" --stop-edge "$work" >/dev/null
want=$(for f in "$logs"/lz_*.log "$logs"/odd_runtime.log; do
  echo "vqlogger-edge-sweep: $f was deleted while rsyslogd did not follow it; shipped up to byte $(stat -c %s "$f"), anything after it is lost"; rm "$f"; done)
"$pipeline" --start-edge "$work" >/dev/null && "$pipeline" --stop-edge "$work" >/dev/null
[[ $(grep -h vqlogger-edge-sweep: "$work/run/edge/rsyslogd.log" | cut -d' ' -f3-) == "$want" ]] || fail "deleted logs: the edge noted $(grep -h vqlogger-edge-sweep: "$work/run/edge/rsyslogd.log")"
(($(ls "$work"/run/edge/work/imfile-state:* | wc -l) == $(ls "$logs"/*.log | wc -l))) || fail "read positions: $(ls "$work/run/edge/work") for $(ls "$logs")"

# relp_send CERT MESSAGE...: RELP over TLS with CERT/*.pem ("" none), or "plain".
relp_send() {
  local n=1 m offer=$'relp_version=0\nrelp_software=test\ncommands=syslog' LC_ALL=C port=$(<"$work/run/port")
  local to=(openssl s_client -quiet -connect "127.0.0.1:$port" ${1:+-cert "$1/cert.pem" -key "$1/key.pem"})
  [[ $1 != plain ]] || to=(bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$0"; cat >&3; timeout 2 cat <&3' "$port")
  shift
  { printf '%d open %d %s\n' $((n++)) ${#offer} "$offer"
    for m in "$@"; do printf '%d syslog %d %s\n' $((n++)) ${#m} "$m"; done
    sleep 1; } | timeout "$bound" "${to[@]}" >/dev/null 2>&1 || true
}
record() {  # record HOST MESSAGE [THREAD]: a forwarded runtime record
  printf '<13>1 2026-12-09T00:00:00Z %s vqlogger - - - @cee:{"kind":"runtime","time":"2026-12-09T00:00:00.000","thread":%s,"file":"f","line":1,"message":"%s","level":1,"exe":"x","pid":"007","log":"/etc/passwd"}' "$1" "${3:-\"0011\"}" "$2"
}
"$pipeline" --start-central "$work"
"$root/contrib/rsyslog/make-certs.sh" "$work/other-ca" edge >/dev/null
for cert in plain "" "$work/other-ca/edge"; do relp_send "$cert" "$(record h "stranger $cert")"; done
# A certified peer: claimed names pick no file; what does not fit is rejected.
bad=("$(record h m abc)" "$(record h m '"abc"')" "$(record h m '"1,\"evil\":2"')" "$(record h m NaN)"
  "$(record h m 1.5)" '<13>1 2026-12-09T00:00:00Z h other - - - plain text, no record'
  '<13>1 2026-12-09T00:00:00Z h vqlogger - - - @vqraw:{"log":"l","raw":"x","kind":"runtime"}')
forged=("$(record ../../etc/evil 'forged host')")
for i in $(seq 300); do forged+=("$(record "made-up-$i" "made-up host")"); done
relp_send "$work/pki/edge" "${bad[@]}" "${forged[@]}"
for _ in $(seq 50); do (($(grep -c 'made-up host' "$store/127.0.0.1.jsonl") < 300)) || break; sleep 0.2; done
got=$(jq -c 'select(.message == "forged host")' "$store/127.0.0.1.jsonl")
want='{"kind":"runtime","time":"2026-12-09T00:00:00.000","thread":11,"file":"f","line":1,"message":"forged host","level":1,"exe":"x","pid":7,"host":"../../etc/evil","peer":"127.0.0.1","log":"/etc/passwd"}'
[[ $got == "$want" ]] || fail "forged host: stored as '$got', not as '$want'"
(($(grep -c 'made-up host' "$store/127.0.0.1.jsonl") == 300)) || fail "made-up hosts: not all 300 records in the peer's file"
[[ $(cd "$store" && echo *) == "127.0.0.1.jsonl rejected.log" ]] || fail "store files after hostile senders: $(ls "$store")"
for m in "${bad[@]}"; do grep -qxF -- "$m" "$store/rejected.log" || fail "not in rejected.log: $m"; done
! grep -rq stranger "$store" || fail "a stranger's message was kept: $(grep -rh stranger "$store" | head -n 1)"
# vqlog dying while it holds a record the central has taken: still stored.
raw='<13>1 2026-12-09T00:00:00Z h vqlogger - - - @vqraw:{"log":"/l/a_1_2026-12-9-0-0-0_runtime.log","raw":"Null Pointer Error"}'
child=$(pgrep -P "$(<"$work/run/central/daemon.pid")" -f rsyslog-parse | head -n 1)
kill -STOP "$child"
relp_send "$work/pki/edge" "$raw" &
sleep 2
kill -KILL "$child"
wait $!
for _ in $(seq 50); do grep -q 'a_1_2026-12-9-0-0-0' "$store/127.0.0.1.jsonl" && break; sleep 0.2; done
grep -q '"kind":"last_resort", "text":"Null Pointer Error", "exe":"a", "pid":1' "$store/127.0.0.1.jsonl" ||
  fail "a record whose vqlog died was not stored"
mapfile -t flood < <(for i in $(seq 700); do printf '<13>1 - h junk - - - %02000d\n' "$i"; done)
relp_send "$work/pki/edge" "${flood[@]}"
size=$(stat -c %s "$store/rejected.log")
((size > 1000000 && size <= 1048576 + 65536)) || fail "rejected.log is $size bytes after 1.4 MB of junk"
"$pipeline" --stop "$work"

# The central does not run without an address or a port to listen on.
for unset in ADDRESS PORT; do
  env VQLOGGER_CENTRAL_ADDRESS=127.0.0.1 VQLOGGER_CENTRAL_PORT="$(<"$work/run/port")" VQLOGGER_CENTRAL_DIR="$store" VQLOGGER_PKI_DIR=/ \
    VQLOGGER_EDGE_NAMES=e "VQLOGGER_CENTRAL_$unset=" timeout "$bound" rsyslogd -n -f "$work/run/central/rsyslog.conf" \
    -i "$work/run/unset.pid" >/dev/null 2>&1 && status=0 || status=$?
  ((status == 1)) || fail "central with VQLOGGER_CENTRAL_$unset empty: exit status $status, not 1"
done

# A recorded pid that is no longer the daemon's is not signalled.
sleep 60 &
stranger=$!
echo "$stranger" >"$work/run/edge/daemon.pid"
"$pipeline" --stop-edge "$work" >/dev/null
kill -0 "$stranger" 2>/dev/null || fail "run-pipeline.sh --stop-edge signalled a process that was not its rsyslogd"
kill "$stranger" 2>/dev/null || true
wait "$stranger" 2>/dev/null || true

written_total=$(awk '{ n += $1 } END { print n + 0 }' "$work/written.txt")
show_total=$("$vqlog" show --json "$logs"/"$(basename "$writer")"_*.log | wc -l)
echo "records written by the processes: $written_total; read back by vqlog show: $show_total"
((written_total == show_total)) || fail "vqlog show reads $show_total records, the writers wrote $written_total"

if ((failures > 0)); then
  echo "pipeline test: $failures failure(s)"
  exit 1
fi
echo "pipeline test: passed"
