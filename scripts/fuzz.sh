#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a fuzz target for a bounded time from its committed corpus; fails on
# any crash, sanitizer report or leak, and keeps the input that caused it.
# Usage: scripts/fuzz.sh BUILD_DIR TARGET SECONDS
set -euo pipefail
build=$1 target=$2 seconds=$3
root=$(cd "$(dirname "$0")/.." && pwd)
work="$build/fuzz-$target"
mkdir -p "$work/corpus" "$work/artifacts"
log="$work/log"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
# A small quarantine: the RSS limit is about what the target keeps, not
# what the sanitizer holds back for its own checks.
export ASAN_OPTIONS="fast_unwind_on_malloc=0:quarantine_size_mb=32"
if "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=512 -timeout=20 -print_final_stats=1 \
     -artifact_prefix="$work/artifacts/" "$work/corpus" "$root/fuzz/corpus/${target#fuzz_}" >"$log" 2>&1; then
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log"
  echo "$target: clean for $seconds s"
else
  tail -n 60 "$log"
  echo "$target: FAILED; the input is in $work/artifacts/" >&2
  exit 1
fi
