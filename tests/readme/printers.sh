#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The C programs of the README's "Several printers" and "Did it print?"
# sections, built against the tests' build and run: the first on two files,
# the second against a virtual printer that is out of paper until it gets
# SIGUSR1.
# Usage: printers.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$(cd "$2" && pwd)
scratch=$(mktemp -d)
preview_pid=
trap '[ -n "$preview_pid" ] && kill "$preview_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
program() {  # the first C block of README section $1
  sed -n "/^## $1/,/^## /p" "$src/README.md" | awk '/^```c$/{if(!done)on=1; next} /^```$/{if(on){on=0; done=1}} on'
}
build_program() {
  program "$1" >"$scratch/$2.c"
  test -s "$scratch/$2.c"
  cc -std=c99 -Wall -Werror -o "$scratch/$2" "$scratch/$2.c" -I"$build/include" -L"$build" -Wl,-rpath,"$build" -lquillbar
}
build_program "Several printers" several
build_program "Did it print" status

: >"$scratch/a.epl"
: >"$scratch/b.epl"
"$scratch/several" "$scratch/a.epl" "$scratch/b.epl"
grep -qx 'B40,40,0,1,2,2,120,B,"1Z999AA10123456784"' "$scratch/a.epl"
grep -qx 'B40,40,0,E30,2,2,96,B,"501234567890"' "$scratch/b.epl"
! grep -q E30 "$scratch/a.epl"
echo "several printers: each label on its own printer"

"$build/tools/quillbar-preview" --serve --fault paper-out -o "$scratch/label.png" >"$scratch/preview.out" &
preview_pid=$!
for _ in $(seq 50); do grep -q '^device: ' "$scratch/preview.out" && break; sleep 0.1; done
device=$(sed -n 's/^device: //p' "$scratch/preview.out")
set +e
"$scratch/status" "$device" >"$scratch/first"
first=$?
set -e
cat "$scratch/first"
[ "$first" = 2 ] && grep -q 'reports 07' "$scratch/first"
kill -USR1 "$preview_pid"
for _ in $(seq 50); do grep -q '^fault cleared' "$scratch/preview.out" && break; sleep 0.1; done
"$scratch/status" "$device" | tee "$scratch/second"
grep -qx 'printed' "$scratch/second"
echo "did it print: out of paper reported, then printed"
