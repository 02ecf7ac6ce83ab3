#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build tree into a scratch prefix, then builds programs against
# the installed tree the two ways users do (pkg-config and find_package) and
# runs them. Usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(dirname "$(find "$prefix" -name quillbar.pc)")
libdir=$(dirname "$(find "$prefix" -name 'libquillbar.so.0')")

# pkg-config: the sample application, printing to its own pseudo-terminal.
cc -std=c99 -Wall -Wextra -Werror -o "$scratch/sample" "$src/examples/sample_label.c" \
  $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs quillbar)
LD_LIBRARY_PATH="$libdir" "$scratch/sample" | grep -q '^P1\\n$'
echo "pkg-config: the sample label printed"

# find_package: a CMake project.
cmake -S "$src/tests/install/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
LD_LIBRARY_PATH="$libdir" "$scratch/consumer/consumer"

# The installed tool finds its library through its own run path.
"$prefix/bin/quillbar-text2png" --size 1 "AB" "$scratch/ab.png" >/dev/null
echo "installed tools run"
