#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shell lines of the README's "Node.js and Electron" section, as written,
# in a scratch folder where "build" is the tests' build: the packed package
# installs and prints a label into label.epl.
# Usage: node.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed -n '/^### Node.js and Electron/,/^### /p' "$src/README.md" | awk '/^```sh$/{if(!done)on=1; next} /^```$/{if(on){on=0; done=1}} on' \
  >"$scratch/steps.sh"
grep -q '^npm install ' "$scratch/steps.sh"
ln -s "$build" "$scratch/build"
cd "$scratch"
npm init -y >/dev/null
sed -i 's/^npm install /npm install --no-audit --no-fund --loglevel=error /' steps.sh
bash -euo pipefail steps.sh
test "$(cat label.epl)" = "$(printf 'N\nA40,40,0,4,1,1,N,"HELLO"\nP1')"
echo "node: the README's lines install the package and print"
