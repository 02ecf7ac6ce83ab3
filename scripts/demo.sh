#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job on a machine without a printer: start the virtual printer on a
# pseudo-terminal, route COM1 to it, print the sample label through the real
# library and the real serial path, and leave the picture and the raw stream.
# Usage: scripts/demo.sh BUILD_DIR OUT_DIR
set -euo pipefail
build=${1:-build}
out=${2:-demo-output}
mkdir -p "$out"
log="$out/printer.log"

"$build/tools/quillbar-preview" --serve --labels 1 --scale 2 --report \
  -o "$out/label.png" --raw "$out/stream.epl" >"$log" 2>"$out/printer-diagnostics.log" &
printer=$!
trap 'kill $printer 2>/dev/null || true' EXIT

device=""
for _ in $(seq 100); do
  device=$(sed -n 's/^device: //p' "$log")
  [ -n "$device" ] && break
  sleep 0.05
done
[ -n "$device" ] || { echo "demo: the virtual printer did not start" >&2; exit 1; }
echo "virtual printer on $device; COM1 routed to it"

"$build/examples/sample_label" 3 "$device"

# The printer stops by itself once the label is printed.
for _ in $(seq 200); do kill -0 $printer 2>/dev/null || break; sleep 0.05; done
kill $printer 2>/dev/null && { echo "demo: the label did not arrive" >&2; exit 1; }
wait $printer || true
trap - EXIT

echo
cat "$log"
if [ -s "$out/printer-diagnostics.log" ]; then
  echo "the printer reported:"; cat "$out/printer-diagnostics.log"
fi
echo
echo "picture of the label: $out/label.png"
echo "raw EPL2 stream:      $out/stream.epl ($(stat -c %s "$out/stream.epl") bytes)"
