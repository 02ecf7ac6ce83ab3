#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's quick start as written: the C program of its "Quick start"
# section and the shell lines after it, cmake's included, run in a scratch
# copy of the source tree: the library alone is built as the README builds
# it, then the program against it.
# Usage: quickstart.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
section=$(sed -n '/^## Quick start/,/^### /p' "$src/README.md")
awk '/^```c$/{on=1; next} /^```$/{if(on){exit}} on' <<<"$section" >"$scratch/quickstart.c"
awk '/^```sh$/{on=1; next} /^```$/{if(on){exit}} on' <<<"$section" >"$scratch/steps.sh"
test -s "$scratch/quickstart.c" && test -s "$scratch/steps.sh"
grep -q '^cmake ' "$scratch/steps.sh"
# The source without its build folders, as a fresh clone has it.
tar -C "$src" --exclude='./build*' --exclude='./demo-output' --exclude='./.git' -cf - . | tar -C "$scratch" -xf -
: "$build"  # the tests' build is not used: the README's own is made
echo "--- steps:"; cat "$scratch/steps.sh"
(cd "$scratch" && bash -euo pipefail steps.sh) >"$scratch/out"
cat "$scratch/out"
grep -q '^N$' "$scratch/out"
grep -q '^B40,300,0,E30,2,2,60,B,"501234567890"$' "$scratch/out"
grep -q '^P1$' "$scratch/out"
grep -q "^printed with quillbar " "$scratch/out"
echo "quickstart: the README's program builds, runs and prints"
