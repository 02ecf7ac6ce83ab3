#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the lifetime program in both modes on fresh capture files.
# Usage: run.sh LIFETIME LIFETIME_DL LIBRARY
set -euo pipefail
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
: > "$scratch/atexit.epl"
"$1" atexit "$scratch/atexit.epl"
: > "$scratch/dlclose.epl"
"$2" dlclose "$3" "$scratch/dlclose.epl"
echo "lifetime: printing from atexit and unloading with a port open both work"
