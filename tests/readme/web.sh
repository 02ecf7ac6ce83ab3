#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The curl lines of "The virtual printer on the web" (docs/virtual-printer.md),
# as written, against the service started as the README starts it (on a free
# port in place of 8080): each answer is what the README says it is.
# Usage: web.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(cd "$1" && pwd) build=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap '[ -s "$scratch/server.pid" ] && kill "$(cat "$scratch/server.pid")" 2>/dev/null; rm -rf "$scratch"' EXIT
cd "$scratch"
block=$(sed -n '/^## The virtual printer on the web/,/^## Bounds/p' "$src/docs/virtual-printer.md" |
  awk '/^```sh$/{if(!done)on=1; next} /^```$/{if(on){on=0; done=1}} on')
grep -q -- '--http 8080 &' <<<"$block"
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'N\nq400\nQ300,24\nA20,20,0,4,1,1,N,"README"\nP1\nN\nA20,20,0,4,1,1,N,"two"\nP1\n' >stream.epl
block=${block//8080/$port}
block=${block//build\/tools\/quillbar-preview/$build\/tools\/quillbar-preview}
# Each line but the server's waits for the server to answer first.
{
  echo "set -euo pipefail"
  sed -n '1p' <<<"$block"
  echo 'echo $! >server.pid'
  echo "for _ in \$(seq 50); do curl -s -o /dev/null http://127.0.0.1:$port/ && break; sleep 0.1; done"
  sed -n '2,$p' <<<"$block" | sed 's/  *#.*$//; s/$/ >>answers.txt/; /^url=/s/ >>answers.txt$//'
} >steps.sh
bash steps.sh
# label.png is the last line's: the GET's stream, with no q or Q, on 4 x 6.
/usr/bin/python3 - <<'PY'
import json, struct, sys
png = open("label.png", "rb").read()
size = struct.unpack(">II", png[16:24]) if png[:8] == b"\x89PNG\r\n\x1a\n" else None
report = json.loads(open("answers.txt").readline())
sys.exit(0 if size == (812, 1218) and len(report["labels"]) == 2 else "label.png %s, %d labels reported" % (
    size, len(report["labels"])))
PY
test "$(pdfinfo all.pdf | sed -n 's/^Pages: *//p')" = 2
echo "web: the README's curl lines give a PNG, a two-page PDF and the report"
