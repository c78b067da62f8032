#!/usr/bin/env bash
# Rewrites expected/ from the logs in logs/ with a native vqlog:
#   regenerate.sh PATH/TO/vqlog
# The logs are library output, written by `vqlog write` and renamed to
# processes of their own: app.main (a runtime log with non-ASCII text and a
# tab the library cleaned, and an assert log whose first expression holds a
# line feed and a tab), svc 77 (an assert log with its header only), svc 78
# (a runtime log whose last line was cut short, as a killed process leaves
# it), and copied_runtime.log, a log whose name shows no process. store/ is a
# central store file of the same records, as the central writes them, in
# arrival order, with one record sent again and one line that is no record.
set -euo pipefail
vqlog=$1
cd "$(dirname "$0")"
mkdir -p expected
"$vqlog" ls --json logs >expected/ls.jsonl 2>expected/ls.err
"$vqlog" ls logs >expected/ls.txt 2>/dev/null
"$vqlog" ls --json --exe svc --last 1 logs >expected/ls-svc-last.jsonl 2>/dev/null
"$vqlog" show --json logs/app.main_4242_2026-12-8-9-5-3_runtime.log logs/app.main_4242_2026-12-8-9-5-4_assert.log \
  logs/svc_78_2026-12-8-10-0-0_runtime.log >expected/show.jsonl 2>/dev/null || true
"$vqlog" show --json store >expected/show-store.jsonl 2>/dev/null
"$vqlog" ls --json store >expected/ls-store.jsonl 2>/dev/null
