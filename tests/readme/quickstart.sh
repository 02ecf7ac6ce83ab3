#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's quick start as written: the C program of its "Quick start"
# section and the shell lines after it, run in a scratch folder where
# "build" is the tests' build. The cmake line is left out: that build is
# already made.
# Usage: quickstart.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
section=$(sed -n '/^## Quick start/,/^### /p' "$src/README.md")
awk '/^```c$/{on=1; next} /^```$/{if(on){exit}} on' <<<"$section" >"$scratch/quickstart.c"
awk '/^```sh$/{on=1; next} /^```$/{if(on){exit}} on' <<<"$section" | grep -v '^cmake ' >"$scratch/steps.sh"
test -s "$scratch/quickstart.c" && test -s "$scratch/steps.sh"
ln -s "$build" "$scratch/build"
echo "--- steps:"; cat "$scratch/steps.sh"
(cd "$scratch" && bash -euo pipefail steps.sh) >"$scratch/out"
cat "$scratch/out"
grep -q '^N$' "$scratch/out"
grep -q '^B40,300,0,E30,2,2,60,B,"501234567890"$' "$scratch/out"
grep -q '^P1$' "$scratch/out"
grep -q "^printed with quillbar " "$scratch/out"
echo "quickstart: the README's program builds, runs and prints"
