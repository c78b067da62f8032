#!/usr/bin/env bash
# Runs the vqlogger pipeline on this machine: one central and one edge
# rsyslogd, in the foreground of their own processes, as the calling user
# (root is not needed), on 127.0.0.1 only, with all their state under
# WORKDIR. The machine's own syslog service and /etc/rsyslog.conf are not
# touched.
#
# Usage: run-pipeline.sh [ACTION] WORKDIR
#   (no action)      start whichever of the two is not running
#   --stop           stop both (edge first)
#   --start-central, --stop-central, --start-edge, --stop-edge
#                    start or stop one of them
#
# WORKDIR/logs          the log directory the edge follows (LOGGING_DIR)
# WORKDIR/central       the central store: <host>.jsonl
# WORKDIR/run/central   central rsyslogd: config, pid, its own messages
# WORKDIR/run/edge      edge rsyslogd: config, pid, its own messages, work
#                       directory (read positions, queue files)
# WORKDIR/run/port      the TCP port, chosen free at the first start
# WORKDIR/pki           made at the first start by make-certs.sh: the CA
#                       (ca.pem, ca-key.pem), the central's certificate
#                       (127.0.0.1/cert.pem, key.pem: the name the edge
#                       connects to) and the edge's (edge/cert.pem, key.pem)
#
# The central runs vqlog (`vqlog rsyslog-parse`): $VQLOGGER_VQLOG, else the
# vqlog on PATH.
#
# A daemon is stopped by the pid recorded when it was started, and only if
# that process is still the rsyslogd started with its config.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
rsyslogd=${RSYSLOGD:-rsyslogd}
bound=20  # seconds to wait for a daemon to come up or go away

usage() {
  sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"
  exit "${1:-0}"
}

action=start
workdir=
for arg in "$@"; do
  case "$arg" in
    --stop | --start-central | --stop-central | --start-edge | --stop-edge) action=${arg#--} ;;
    -h | --help) usage 0 ;;
    -*) echo "run-pipeline.sh: unknown option '$arg'" >&2; usage 2 ;;
    *) [[ -z $workdir ]] || usage 2; workdir=$arg ;;
  esac
done
[[ -n $workdir ]] || usage 2
mkdir -p "$workdir"
workdir=$(cd "$workdir" && pwd)
case "$workdir" in
  *[\"\$\`\\]* | *" "*) echo "run-pipeline.sh: WORKDIR must not hold spaces, quotes, \$, \` or \\" >&2; exit 2 ;;
esac
run=$workdir/run
mkdir -p "$workdir/logs" "$workdir/central" "$run/central/work" "$run/edge/work"
pki=$workdir/pki

command -v "$rsyslogd" >/dev/null || { echo "run-pipeline.sh: rsyslogd not found (apt-get install rsyslog)" >&2; exit 1; }

# The pid we recorded for a daemon, if that process is still ours.
running_pid() {
  local name=$1 pid
  [[ -f $run/$name/daemon.pid ]] || return 1
  pid=$(<"$run/$name/daemon.pid")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  kill -0 "$pid" 2>/dev/null || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "-f $run/$name/rsyslog.conf" || return 1
  echo "$pid"
}

port_open() {  # true when something accepts connections on 127.0.0.1:$1
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

write_config() {
  local name=$1
  cat >"$run/$name/rsyslog.conf" <<EOF
# Written by run-pipeline.sh: the $name of a pipeline under $workdir.
# rsyslogd keeps its own messages (else they go to the system log)
global(workDirectory="$run/$name/work" maxMessageSize="64k" processInternalMessages="on")
include(file="$here/$name.conf")
# rsyslogd's own messages (the records never reach this ruleset)
*.* action(type="omfile" file="$run/$name/rsyslogd.log")
EOF
}

start_daemon() {
  local name=$1 pid
  if pid=$(running_pid "$name"); then
    echo "run-pipeline.sh: $name already running (pid $pid)"
    return 0
  fi
  write_config "$name"
  rm -f "$run/$name/rsyslogd.pid"
  export VQLOGGER_LOG_DIR=$workdir/logs VQLOGGER_CENTRAL_DIR=$workdir/central
  VQLOGGER_VQLOG=${VQLOGGER_VQLOG:-$(command -v vqlog || true)}
  if [[ $name == central && ! -x $VQLOGGER_VQLOG ]]; then
    echo "run-pipeline.sh: vqlog not found: set VQLOGGER_VQLOG to the vqlog program (the central runs it)" >&2
    return 1
  fi
  export VQLOGGER_VQLOG
  export VQLOGGER_CENTRAL_HOST=127.0.0.1 VQLOGGER_CENTRAL_ADDRESS=127.0.0.1 VQLOGGER_EDGE_NAMES=edge
  if [[ $name == central ]]; then export VQLOGGER_PKI_DIR=$pki/127.0.0.1; else export VQLOGGER_PKI_DIR=$pki/edge; fi
  [[ -s $VQLOGGER_PKI_DIR/key.pem ]] || "$here/make-certs.sh" "$pki" 127.0.0.1 edge
  VQLOGGER_CENTRAL_PORT=$(<"$run/port")
  export VQLOGGER_CENTRAL_PORT
  # rsyslogd runs on with a config it could not read in part: check first.
  local check
  if ! check=$("$rsyslogd" -N1 -f "$run/$name/rsyslog.conf" 2>&1) || grep -qi error <<<"$check"; then
    echo "run-pipeline.sh: $name config rejected:" >&2
    echo "$check" >&2
    return 1
  fi
  "$rsyslogd" -n -f "$run/$name/rsyslog.conf" -i "$run/$name/rsyslogd.pid" \
    </dev/null >>"$run/$name/stdout.log" 2>&1 &
  pid=$!
  echo "$pid" >"$run/$name/daemon.pid"
  local deadline=$((SECONDS + bound))
  while ((SECONDS < deadline)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "run-pipeline.sh: $name rsyslogd exited at start; see $run/$name/stdout.log" >&2
      tail -n 5 "$run/$name/stdout.log" >&2 || true
      return 1
    fi
    if [[ -s $run/$name/rsyslogd.pid ]] && { [[ $name != central ]] || port_open "$(<"$run/port")"; }; then
      echo "run-pipeline.sh: $name running (pid $pid)"
      return 0
    fi
    sleep 0.1
  done
  echo "run-pipeline.sh: $name not ready within $bound s" >&2
  return 1
}

stop_daemon() {
  local name=$1 pid
  if ! pid=$(running_pid "$name"); then
    echo "run-pipeline.sh: $name not running"
    return 0
  fi
  kill -TERM "$pid"
  local deadline=$((SECONDS + bound))
  while kill -0 "$pid" 2>/dev/null; do
    if ((SECONDS >= deadline)); then
      echo "run-pipeline.sh: $name (pid $pid) still running after $bound s; killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
      return 1
    fi
    sleep 0.1
  done
  rm -f "$run/$name/daemon.pid"
  echo "run-pipeline.sh: $name stopped (pid $pid)"
}

# The first start picks a port that nothing listens on, and keeps it.
start_central() {
  if [[ -s $run/port ]]; then
    start_daemon central
    return
  fi
  local attempt port
  for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 20000))
    port_open "$port" && continue
    echo "$port" >"$run/port"
    if start_daemon central; then return 0; fi
    stop_daemon central >/dev/null 2>&1 || true
    rm -f "$run/port"
  done
  echo "run-pipeline.sh: no free port found for the central rsyslogd" >&2
  return 1
}

start_edge() {
  if [[ ! -s $run/port ]]; then
    echo "run-pipeline.sh: start the central first (no port chosen yet)" >&2
    return 1
  fi
  start_daemon edge
}

case "$action" in
  start) start_central && start_edge ;;
  stop)
    status=0
    stop_daemon edge || status=1
    stop_daemon central || status=1
    exit "$status"
    ;;
  start-central) start_central ;;
  stop-central) stop_daemon central ;;
  start-edge) start_edge ;;
  stop-edge) stop_daemon edge ;;
esac
