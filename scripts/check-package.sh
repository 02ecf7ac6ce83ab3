#!/usr/bin/env bash
# Builds the Debian package, installs it with dpkg, builds and runs the sample
# against the installed package, renders its stream with the installed
# preview tool, and removes the package again. Needs root.
# Usage: scripts/check-package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "check-package: skipped (installing a package needs root)"
  exit 0
fi
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/quillbar_*.deb | head -n 1)
scratch=$(mktemp -d)
trap 'dpkg -P quillbar >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
dpkg -i "$deb" >/dev/null
dpkg -s quillbar | grep -E '^(Version|Depends):'

cc -std=c99 -Wall -Wextra -Werror -o "$scratch/sample" "$root/examples/sample_label.c" \
  $(pkg-config --cflags --libs quillbar)
touch "$scratch/stream.epl"
"$scratch/sample" 1 "$scratch/stream.epl"
quillbar-preview -o "$scratch/label.png" "$scratch/stream.epl"
test -s "$scratch/label.png"
echo "check-package: $(basename "$deb") installs, links and prints"
