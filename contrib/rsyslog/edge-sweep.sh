#!/usr/bin/env bash
# Run before the edge's rsyslogd starts (systemd: ExecStartPre=), never
# while it runs. rsyslogd removes a log's read position (imfile-state:* in
# its work directory) when the log is deleted while it runs; a log deleted
# while rsyslogd was stopped (or killed, or still sending it at the stop)
# leaves its position behind for good. This removes the position of every
# log that is gone, or is now another file under the same name, and prints
# one line for each, for the edge's own log: rsyslogd had read it up to that
# byte, and whatever the log held after it was never shipped. Whether there
# was anything after it cannot be known: the log is gone.
#
# Usage: edge-sweep.sh WORKDIR   (rsyslogd's work directory)
set -euo pipefail
work=${1:?usage: edge-sweep.sh WORKDIR}
shopt -s nullglob
for state in "$work"/imfile-state:*; do
  # imfile-state:<inode> or imfile-state:<inode>:<hash of the first 512 bytes>
  ino=${state##*/imfile-state:}
  ino=${ino%%:*}
  [[ $ino =~ ^[0-9]+$ ]] || continue
  json=$(<"$state")
  raw=$(sed -n 's/.*"filename": *"\(\([^"\\]\|\\.\)*\)".*/\1/p' <<<"$json")
  offset=$(sed -n 's/.*"curr_offs": *\([0-9]*\).*/\1/p' <<<"$json")
  # Only the escapes \/ \\ \" are decoded; a name with others is left alone.
  [[ -n $raw && -n $offset && ! $raw =~ \\[^/\\\"] ]] || continue
  log=$(sed 's/\\\(.\)/\1/g' <<<"$raw")
  [[ $(stat -L -c %i -- "$log" 2>/dev/null) != "$ino" ]] || continue
  printf '%s %s vqlogger-edge-sweep: %s was deleted while rsyslogd did not follow it; shipped up to byte %s, anything after it is lost\n' \
    "$(date +%Y-%m-%dT%H:%M:%S.%6N%:z)" "$(uname -n)" "${log//[[:cntrl:]]/?}" "$offset"
  rm -f -- "$state"
done
