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
# The TypeScript declarations type-check a program that uses them (strict).
cat >check.ts <<'TS'
import { Printer, QuillbarError, Status, printers, libraryVersion } from 'quillbar';
async function label(device: string): Promise<Status> {
  using p = new Printer(device, 0);
  p.encoding = 'win1252';
  p.setPaperSize(0, 100, 60, 3);
  p.printChineseStr(5, 20, 1, 0, 4, 0, new Uint8Array([0xd6, 0xd0]));
  await p.printAsync(1);
  const errors: number = p.lastErrorCode();
  void errors;
  return p.statusAsync(2000);
}
try { void label('x'); } catch (e) { if (e instanceof QuillbarError) console.log(e.code, e.reason); }
const names: string[] = printers();
const v: string = libraryVersion();
void names; void v;
TS
npm install --no-save --no-audit --no-fund --loglevel=error typescript@5 @types/node@20 >/dev/null
npx tsc --noEmit --strict --target es2022 --lib es2022,esnext.disposable --module commonjs --types node check.ts
# The library's exports, to check the declarations against.
nm -D --defined-only "$2" | awk '{print $3}' | sed 's/@.*//' | grep '^QB_' >exports.txt
QUILLBAR_LIBRARY=$2 QUILLBAR_PREVIEW=$3 QUILLBAR_CALLS=$4 QUILLBAR_EXPORTS=$scratch/exports.txt \
  node --test --test-reporter=tap ./*.test.js
