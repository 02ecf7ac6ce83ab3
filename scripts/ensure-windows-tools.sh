#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building and testing the Windows DLL needs, when missing: the
# mingw-w64 cross compilers (posix threads), Wine for 64- and 32-bit programs
# (the latter after adding the i386 architecture), and a virtual display.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
fi
"$here/ensure-packages.sh" g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 \
  binutils-mingw-w64-x86-64 wine wine64 wine32:i386 xvfb xauth python3 cups libcups2:i386
