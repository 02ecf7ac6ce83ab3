#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The tools as Unix tools: --help and --version on standard output with exit
# 0, strict numbers, the system's reason for a file error, the library's
# reason in words, and the documented exit codes.
# Usage: check_cli.sh PREVIEW TEXT2PNG VERSION
set -uo pipefail
preview=$1 text2png=$2 version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
printf 'N\nP1\n' > "$scratch/ok.epl"
printf 'N\nXYZ\nP1\n' > "$scratch/bad.epl"
passed=0 failed=0

# exit code | stream (out/err) | text it must hold | command...
check() {
  local want=$1 stream=$2 text=$3
  shift 3
  (cd "$scratch" && "$@") >"$scratch/out" 2>"$scratch/err"
  local rc=$?
  if [ "$rc" -eq "$want" ] && grep -qF -- "$text" "$scratch/$stream"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $* -> exit $rc (want $want), $stream lacks '$text'"
    sed 's/^/  out: /' "$scratch/out" | head -3
    sed 's/^/  err: /' "$scratch/err" | head -3
  fi
}

check 0 out "usage: quillbar-preview" "$preview" --help
check 0 out "quillbar-preview (quillbar) $version" "$preview" --version
check 0 out "label 1: label.png" "$preview" ok.epl
check 0 out "label 1: out.png" "$preview" -o out.png ok.epl
check 1 err "--scale wants a whole number from 1 to 32, not '3x'" "$preview" --scale 3x ok.epl
check 1 err "--scale wants a whole number from 1 to 32, not '33'" "$preview" --scale 33 ok.epl
check 1 err "--labels wants a whole number from 0, not '-1'" "$preview" --serve --labels -1
check 1 err "unrecognized option '--bogus'" "$preview" --bogus ok.epl
check 1 err "give one stream at most" "$preview" ok.epl ok.epl
check 1 err "give one of a stream, --serve and --listen" "$preview" --serve ok.epl
check 0 out "(800x1200 dots" "$preview" --media 100x150mm ok.epl
check 0 out "(1200x1800 dots" "$preview" --dpmm 12 ok.epl
check 0 out "(1200x1800 dots" "$preview" --media 100x150mm --dpmm 12 ok.epl
check 1 err "--dpmm takes 8 (203 dpi) or 12 (300 dpi)" "$preview" --dpmm 11 ok.epl
check 1 err "--media wants WxH in inches (4x6) or millimetres (100x150mm)" "$preview" --media 4by6 ok.epl
check 1 err "cannot listen on 127.0.0.1:70000: not HOST:PORT with PORT 0..65535" "$preview" --listen 127.0.0.1:70000
check 1 err "--fault takes paper-out" "$preview" --listen 127.0.0.1:0 --fault flood
# No host is loopback; every address is said aloud. (The signal goes to the
# tool alone, and a sanitized build skips its leak check on the way out: a
# second SIGTERM to the process group can stop that check for good.)
check 124 out "listening: 127.0.0.1:" env ASAN_OPTIONS=detect_leaks=0 timeout --foreground 1 "$preview" --listen :0
check 124 err "warning: listening on 0.0.0.0:" env ASAN_OPTIONS=detect_leaks=0 timeout --foreground 1 "$preview" --listen '*:0'
check 1 err "--idle-timeout wants a whole number from 1 to 86400" "$preview" --listen :0 --idle-timeout 0
check 124 out "http: http://127.0.0.1:" env ASAN_OPTIONS=detect_leaks=0 timeout --foreground 1 "$preview" --http 0
check 124 err "warning: serving HTTP on 0.0.0.0:" env ASAN_OPTIONS=detect_leaks=0 timeout --foreground 1 "$preview" --http '*:0'
check 1 err "--http goes alone or with --serve or --listen" "$preview" --http 0 ok.epl
check 1 err "cannot serve HTTP on 127.0.0.1:70000" "$preview" --http 127.0.0.1:70000
check 1 err "--http-max-body wants a whole number from 1" "$preview" --http 0 --http-max-body 0
# cairo and libmicrohttpd are opened when a PDF or the web service needs
# them: without them, PNGs are still made, and the rest says what it needs.
mkdir -p "$scratch/nolibs"
: > "$scratch/nolibs/libcairo.so.2"
: > "$scratch/nolibs/libmicrohttpd.so.12"
check 0 out "label 1: label.png" env LD_LIBRARY_PATH="$scratch/nolibs" "$preview" ok.epl
check 1 err "PDF files need cairo (libcairo.so.2), which cannot be loaded" \
  env LD_LIBRARY_PATH="$scratch/nolibs" "$preview" -o labels.pdf ok.epl
check 1 err "HTTP services (--http) need libmicrohttpd (libmicrohttpd.so.12), which cannot be loaded" \
  env LD_LIBRARY_PATH="$scratch/nolibs" "$preview" --http 0
check 1 err "give a stream to render" "$preview"
check 1 err "cannot open missing.epl: No such file or directory" "$preview" missing.epl
check 1 err "cannot write nodir/x.png: No such file or directory" "$preview" -o nodir/x.png ok.epl
check 2 err "byte 2: " "$preview" bad.epl
printf 'N\nP1\nP1\nP1\n' > "$scratch/three.epl"
check 0 out "label 3: lbl-003.png" "$preview" -o lbl-%03d.png three.epl
check 0 out "label 3: three-3.png" "$preview" -o three.png three.epl
check 1 err "at most one number pattern" "$preview" -o 'x-%s.png' three.epl
check 0 out '"labels":["j-1.png","j-2.png","j-3.png"],"unrendered_labels":0' "$preview" --report=json -o j-%d.png three.epl
check 0 out '"settings":{"character set":"I8,0,001","direction":"ZT"}' "$preview" --report=json ok.epl
check 0 out "setting  direction: ZT" "$preview" --report ok.epl
# -o FILE.pdf: one PDF, a page a label at its physical size, the dots kept.
printf 'N\nA10,10,0,3,1,1,N,"ONE"\nP1\nN\nq400\nQ300,24\nLO0,0,400,300\nLW100,100,200,100\nP1\n' > "$scratch/two.epl"
check 0 out "label 2: page 2 of two.pdf (400x300 dots" "$preview" -o two.pdf two.epl
if pdfinfo "$scratch/two.pdf" | grep -q '^Pages: *2$' &&
   pdfinfo -f 2 -l 2 "$scratch/two.pdf" | grep -q 'Page *2 size: *141.73. x 106.29. pts' &&
   pdftoppm -r 203.2 -mono -f 2 -l 2 "$scratch/two.pdf" "$scratch/page" &&
   python3 - "$scratch"/page-2.pbm <<'PY'
import sys
data = open(sys.argv[1], 'rb').read().split(b'\n', 2)
w, h = map(int, data[1].split())
bits = data[2]
row = (w + 7) // 8
black = lambda x, y: bits[y * row + x // 8] >> (7 - x % 8) & 1
# Black all over but for the white box at 100..300 x 100..200.
assert black(50, 50) and black(350, 250) and not black(200, 150), (w, h)
PY
then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: -o two.pdf is not two pages of the labels' sizes and dots"
  pdfinfo "$scratch/two.pdf" | head -12
fi
# --report=json: standard output is the JSON document alone (what the tool
# says goes to standard error), valid even for text that is not UTF-8.
printf 'N\nA10,10,0,3,1,1,N,"caf\xe9 \\"q\\""\nXYZ\nP2\nN\nP1\n' > "$scratch/mixed.epl"
check 2 err "label 2: mixed-2.png" "$preview" --report=json -o mixed.png mixed.epl
if python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); assert len(d["labels"]) == 2 and d["diagnostics"][0]["code"] == 1' "$scratch/out"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: --report=json output is not one JSON document:"
  head -3 "$scratch/out"
fi
check 2 out "1 more label(s) printed but not rendered" "$preview" --max-labels 2 three.epl

check 0 out "usage: quillbar-text2png" "$text2png" --help
check 0 out "quillbar-text2png (quillbar) $version" "$text2png" --version
check 0 out "ab.png: 32 x 24 dots" "$text2png" --size 1 AB ab.png
# One convention for both tools: 1 usage or file error, 2 the input refused.
check 1 err "--size wants a whole number from 1 to 4, not '5'" "$text2png" --size 5 AB ab.png
check 1 err "--face wants a whole number from 0 to 3, not '1.5'" "$text2png" --face 1.5 AB ab.png
check 1 err "give the text and the picture to write" "$text2png" AB
check 2 err "text too long: at most 26 bytes at size 4" "$text2png" --size 4 123456789012345678901234567 x.png
check 1 err "cannot write nodir/x.png: No such file or directory" "$text2png" AB nodir/x.png
check 2 err "the text is empty" "$text2png" "" x.png
check 2 err "the text is not UTF-8" "$text2png" $'\xff\xfe' x.png

echo "tools: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
