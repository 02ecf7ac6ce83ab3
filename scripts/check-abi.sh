#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the built library's ABI with the baseline kept in abi/. Added
# functions are reported and pass; a removed function, a function whose
# signature changed (a parameter added, removed or retyped, another return
# type) or a changed type fails, since programs built against the baseline
# would call it wrongly, until the baseline is renewed on purpose (make
# abi-baseline, with a new SONAME number when the break is meant).
# Usage: scripts/check-abi.sh BUILD_DIR [BASELINE]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
baseline=${2:-"$root/abi/libquillbar.so.0.abi"}
report="$build/abidiff.txt"
abidiff --headers-dir2 "$build/include" "$baseline" "$build/libquillbar.so" >"$report"
rc=$?
cat "$report"
# abidiff's status is a bit mask: 1 error, 2 usage error, 4 ABI change,
# 8 incompatible ABI change. It counts a changed signature as a change
# only, not as incompatible, so the summary lines are read too:
#   Functions changes summary: R Removed, C Changed (...), A Added functions
#   Variables changes summary: R Removed, C Changed (...), A Added variables
if (( rc & 3 )); then
  echo "abi: abidiff could not compare (status $rc)"
  exit 1
fi
count() {  # the number before "$2" on the summary line of $1
  sed -n "s/.*$1 changes summary: \(.*\)/\1/p" "$report" | grep -o "[0-9]* $2" | head -n 1 | cut -d' ' -f1
}
removed=$(( $(count Functions Removed || echo 0) + $(count Variables Removed || echo 0) ))
changed=$(( $(count Functions Changed || echo 0) + $(count Variables Changed || echo 0) ))
if (( rc & 8 )) || (( removed > 0 )) || (( changed > 0 )); then
  echo "abi: INCOMPATIBLE with the baseline $baseline: $removed removed, $changed changed (status $rc)"
  exit 1
fi
if (( rc & 4 )); then echo "abi: compatible additions to the baseline"; else echo "abi: identical to the baseline"; fi
