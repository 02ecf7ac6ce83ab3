#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the built library's ABI with the baseline kept in abi/. Added
# functions are reported and pass; a change that breaks programs built
# against the baseline fails until the baseline is renewed on purpose
# (make abi-baseline, with a new SONAME number when it is meant).
# Usage: scripts/check-abi.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
baseline="$root/abi/libquillbar.so.0.abi"
abidiff --headers-dir2 "$build/include" "$baseline" "$build/libquillbar.so" >"$build/abidiff.txt"
rc=$?
cat "$build/abidiff.txt"
# abidiff's status is a bit mask: 1 error, 2 usage error, 4 ABI change,
# 8 incompatible ABI change.
if (( rc & 3 )); then
  echo "abi: abidiff could not compare (status $rc)"
  exit 1
fi
if (( rc & 8 )); then
  echo "abi: INCOMPATIBLE with the baseline in abi/ (status $rc)"
  exit 1
fi
if (( rc & 4 )); then echo "abi: compatible additions to the baseline"; else echo "abi: identical to the baseline"; fi
