#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the packed Node.js package into a scratch folder as a user would
# (npm install ./quillbar-x.y.z.tgz, which brings koffi and iconv-lite from
# the npm registry) and runs Node's own test runner on its tests there.
# Usage: run.sh PACKAGE_TGZ LIBRARY PREVIEW_TOOL CALLS_JSON
set -euo pipefail
tgz=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
npm init -y >/dev/null
npm install --no-audit --no-fund --loglevel=error "$tgz" >/dev/null
cp "$here"/*.test.js .
# The library's exports, to check the declarations against.
nm -D --defined-only "$2" | awk '{print $3}' | sed 's/@.*//' | grep '^QB_' >exports.txt
QUILLBAR_LIBRARY=$2 QUILLBAR_PREVIEW=$3 QUILLBAR_CALLS=$4 QUILLBAR_EXPORTS=$scratch/exports.txt \
  node --test --test-reporter=spec ./*.test.js
