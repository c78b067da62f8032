#!/usr/bin/env bash
# The lnav format contrib/lnav/vqlogger_json.json, headless: logs of two
# processes (read by `vqlog show --json`, one JSON file per log) and a piece
# of a central store must come out in true time order to the millisecond
# (.7 is 7 ms, .70 is 70 ms), with thread, file, line and level as columns,
# lnav levels from the records' level numbers, and filterable by field.
# lnav runs with HOME and its configuration under WORKDIR only.
#
# Usage: lnav_test.sh VQLOG WORKDIR
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
vqlog=$1
work=$2
rm -rf "$work"
mkdir -p "$work/home" "$work/config/formats/vqlogger" "$work/raw"
work=$(cd "$work" && pwd)
cp "$root/contrib/lnav/vqlogger_json.json" "$work/config/formats/vqlogger/"

failures=0
run_lnav() {
  HOME=$work/home XDG_CONFIG_HOME=$work/home/.config timeout 60 \
    lnav -I "$work/config" -n "$@" </dev/null
}
expect() {  # expect NAME EXPECTED_FILE ACTUAL_FILE
  if diff -u "$2" "$3"; then
    echo "ok: $1"
  else
    echo "FAIL: $1" >&2
    failures=$((failures + 1))
  fi
}

raw=$work/raw
header_runtime=$'\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL'
header_assert=$'\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION'
printf '%s\r\n' "$header_runtime" \
  $'2026-12-9 0:3:8.7\t11\tsrc/a.c\t1\tseven\t1' \
  $'2026-12-9 0:3:8.70\t11\tsrc/a.c\t2\tseventy\t2' \
  $'2026-12-9 0:3:8.250\t11\tsrc/a.c\t3\tLog Message too Long\t-1' \
  >"$raw/app_a_5_2026-12-9-0-3-8_runtime.log"
printf '%s\r\n' "$header_assert" \
  $'2026-12-9 0:3:8.8\t12\tsrc/b.c\t60\tx > 0' \
  >"$raw/app_a_5_2026-12-9-0-3-8_assert.log"
printf '%s\r\n' "$header_runtime" \
  $'2026-12-9 0:3:8.9\t21\tsrc/c.c\t1\tnine\t1' \
  $'2026-12-9 0:3:8.71\t21\tsrc/c.c\t2\tseventy-one\t3' \
  $'2026-12-9 0:3:8.300\t21\tsrc/c.c\t3\tthree hundred\t0' \
  >"$raw/app_b_6_2026-12-9-0-3-8_runtime.log"
# One JSON file per log, so lnav has to merge them by time itself.
for log in "$raw"/*.log; do
  "$vqlog" show --json "$log" >"$work/$(basename "$log" .log).jsonl"
done
# A central store as the pipeline writes it: rsyslog escapes '/', and the
# lines of a host's processes come in the order they arrived. lnav keeps a
# file's own order (a line earlier than the one before it gets that one's
# time), so `vqlog show --json` puts the store in time order first, as the
# README shows.
mkdir "$work/store"
cat >"$work/store/edge1.jsonl" <<'EOF'
{"kind":"assert", "time":"2026-12-09T00:03:08.200", "thread":31, "file":"src\/d.c", "line":5, "expression":"a\tb", "exe":"edge_app", "pid":7, "host":"edge1", "log":"\/var\/log\/app\/edge_app_7_2026-12-9-0-3-8_assert.log"}
{"kind":"runtime", "time":"2026-12-09T00:03:08.010", "thread":31, "file":"src\/d.c", "line":4, "message":"central \"ten\" caf\u00e9", "level":2, "exe":"edge_app", "pid":7, "host":"edge1", "log":"\/var\/log\/app\/edge_app_7_2026-12-9-0-3-8_runtime.log"}
EOF
"$vqlog" show --json "$work/store" >"$work/edge1.jsonl"
files=("$work"/*.jsonl)

# Order, levels and fields.
run_lnav -c ';SELECT log_time, log_level, thread, file, line, level, message, expression, host FROM vqlogger_json ORDER BY log_line' \
  -c ':write-csv-to -' "${files[@]}" >"$work/query.csv"
cat >"$work/query.expected" <<'EOF'
log_time,log_level,thread,file,line,level,message,expression,host
2026-12-09 00:03:08.007,info,11,src/a.c,1,1,seven,<NULL>,<NULL>
2026-12-09 00:03:08.008,info,12,src/b.c,60,<NULL>,<NULL>,x > 0,<NULL>
2026-12-09 00:03:08.009,info,21,src/c.c,1,1,nine,<NULL>,<NULL>
2026-12-09 00:03:08.010,debug,31,src/d.c,4,2,"central ""ten"" café",<NULL>,edge1
2026-12-09 00:03:08.070,debug,11,src/a.c,2,2,seventy,<NULL>,<NULL>
2026-12-09 00:03:08.071,trace,21,src/c.c,2,3,seventy-one,<NULL>,<NULL>
2026-12-09 00:03:08.200,info,31,src/d.c,5,<NULL>,<NULL>,a	b,edge1
2026-12-09 00:03:08.250,notice,11,src/a.c,3,-1,Log Message too Long,<NULL>,<NULL>
2026-12-09 00:03:08.300,notice,21,src/c.c,3,0,three hundred,<NULL>,<NULL>
EOF
expect "time order, levels and fields" "$work/query.expected" "$work/query.csv"

# Queries on the fields: by thread and source, by level.
run_lnav -c ";SELECT thread, count(*) AS n, max(line) AS last FROM vqlogger_json WHERE file LIKE 'src/%' GROUP BY thread ORDER BY thread" \
  -c ':write-csv-to -' "${files[@]}" >"$work/group.csv"
printf '%s\n' 'thread,n,last' '11,3,3' '12,1,60' '21,3,3' '31,2,5' >"$work/group.expected"
expect "grouping by thread" "$work/group.expected" "$work/group.csv"

# The view, filtered on fields: what a user sees.
run_lnav -c ':filter-expr :thread = 21 OR :level < 0' "${files[@]}" >"$work/view.txt"
cat >"$work/view.expected" <<'EOF'
2026-12-09 00:03:08.009     21 src/c.c:1      1 nine
2026-12-09 00:03:08.071     21 src/c.c:2      3 seventy-one
2026-12-09 00:03:08.250     11 src/a.c:3     -1 Log Message too Long
2026-12-09 00:03:08.300     21 src/c.c:3      0 three hundred
EOF
expect "filtered view" "$work/view.expected" "$work/view.txt"

if ((failures > 0)); then
  echo "lnav test: $failures failure(s)"
  exit 1
fi
echo "lnav test: passed"
