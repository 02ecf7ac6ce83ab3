#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# make test: runs each part (a make target) in turn, whatever the one before
# did, showing its output as it goes, then one summary: each part, what its
# tests counted, whether it passed, how long it took; the last line says
# whether everything passed. Each part's log is kept in test-logs/PART.log,
# and the summary in test-logs/summary.txt (scripts/figures.sh reads it).
# Exits non-zero when any part failed.
# Usage: scripts/run-tests.sh PART...
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
logs="$root/test-logs"
rm -rf "$logs"
mkdir -p "$logs"
start_all=$(date +%s)
declare -a rows
passed=0 failed=0
# What a part's output counted: ctest's and GoogleTest's totals, the Wine
# tests' and the fuzzers' lines.
counts() {
  awk '
    /tests passed, [0-9]+ tests? failed out of [0-9]+/ {
      for (i = 1; i <= NF; i++) if ($i == "of") total += $(i + 1)
      for (i = 1; i <= NF; i++) if ($i == "failed" && $(i - 1) ~ /^tests?$/) bad += $(i - 2)
    }
    /^\[  PASSED  \] [0-9]+ tests?\./ { gpass += $4 }
    /^\[  FAILED  \] [0-9]+ tests?, listed below/ { gfail += $4 }
    /: [0-9]+ passed, [0-9]+ failed$/ { wpass += $(NF - 3); wfail += $(NF - 1) }
    /: clean for [0-9]+ s$/ { fuzz += 1 }
    END {
      out = ""
      if (total) out = out sprintf("%d of %d tests passed; ", total - bad, total)
      if (gpass || gfail) out = out sprintf("%d tests passed, %d failed; ", gpass, gfail)
      if (wpass || wfail) out = out sprintf("%d Windows tests passed, %d failed; ", wpass, wfail)
      if (fuzz) out = out sprintf("%d fuzz target(s) clean; ", fuzz)
      sub(/; $/, "", out)
      print out
    }' "$1"
}
for part in "$@"; do
  echo "==== make $part"
  t0=$(date +%s)
  make --no-print-directory "$part" 2>&1 | tee "$logs/$part.log"
  status=${PIPESTATUS[0]}
  t=$(( $(date +%s) - t0 ))
  if [ "$status" -eq 0 ]; then verdict=passed; passed=$((passed + 1)); else verdict=FAILED; failed=$((failed + 1)); fi
  rows+=("$(printf '%-14s %-7s %4d s  %s' "$part" "$verdict" "$t" "$(counts "$logs/$part.log")")")
done
{
  echo
  echo "==== summary (about $(( ($(date +%s) - start_all + 30) / 60 )) minutes, $(du -sm "$root" | cut -f1) MB in the tree)"
  for row in "${rows[@]}"; do echo "$row"; done
  if [ "$failed" -eq 0 ]; then echo "everything passed"; else echo "some parts FAILED: see their logs"; fi
  echo "logs: $logs/ (a PART.log for each part, this summary in summary.txt)"
  echo "parts: $passed passed, $failed failed"
} | tee "$logs/summary.txt"
[ "$failed" -eq 0 ]
