#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# make test: runs each part (a make target) in turn, whatever the one before
# did, showing its output as it goes, then one summary: each part, what its
# tests counted, whether it passed, how long it took; the last line says
# whether everything passed. Exits non-zero when any part failed.
# Usage: scripts/run-tests.sh PART...
set -uo pipefail
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
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
  make --no-print-directory "$part" 2>&1 | tee "$logs/$part"
  status=${PIPESTATUS[0]}
  t=$(( $(date +%s) - t0 ))
  if [ "$status" -eq 0 ]; then verdict=passed; passed=$((passed + 1)); else verdict=FAILED; failed=$((failed + 1)); fi
  rows+=("$(printf '%-14s %-7s %4d s  %s' "$part" "$verdict" "$t" "$(counts "$logs/$part")")")
done
echo
echo "==== summary (about $(( ($(date +%s) - start_all + 30) / 60 )) minutes)"
for row in "${rows[@]}"; do echo "$row"; done
if [ "$failed" -eq 0 ]; then echo "everything passed"; else echo "some parts FAILED: see their output above"; fi
echo "parts: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
