#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the packages named (the Makefile's lists: what the Windows DLL
# needs, or everything make test needs), when missing, in one step, after
# adding the i386 architecture that 32-bit Wine comes from.
# Usage: ensure-windows-tools.sh PACKAGE...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
fi
"$here/ensure-packages.sh" "$@"
