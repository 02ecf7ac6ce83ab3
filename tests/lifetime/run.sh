#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the lifetime program on a fresh capture file.
# Usage: run.sh atexit LIFETIME
#        run.sh dlclose LIFETIME_DL LIBRARY
set -euo pipefail
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
: > "$scratch/capture.epl"
case "$1" in
  atexit) "$2" atexit "$scratch/capture.epl" ;;
  dlclose) "$2" dlclose "$3" "$scratch/capture.epl" ;;
  *) echo "usage: run.sh atexit|dlclose ..." >&2; exit 64 ;;
esac
echo "lifetime: $1 works"
