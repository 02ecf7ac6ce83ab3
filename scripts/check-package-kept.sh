#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The package check leaves what a user installed in place: installs the four
# packages as a user following the README would, runs the package check, and
# fails unless all four are still installed afterwards, at the same version;
# then removes them again. Only where none of the four was installed before
# (the machine's packages are never touched) and as root.
# Usage: scripts/check-package-kept.sh BUILD_DIR (after check-package.sh BUILD_DIR)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
packages=(libquillbar0 libquillbar-dev quillbar-tools python3-quillbar)
if [ "$(id -u)" -ne 0 ]; then
  echo "check-package-kept: skipped (installing a package needs root)"
  exit 0
fi
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    echo "check-package-kept: skipped ($p is installed here, and stays so)"
    exit 0
  fi
done
trap 'dpkg -P "${packages[@]}" >/dev/null 2>&1 || true' EXIT
dpkg -i "$build"/*.deb >/dev/null
before=$(dpkg-query -W -f='${Package} ${Version} ${Status}\n' "${packages[@]}")
QUILLBAR_SAME_PACKAGES_CHECKED=1 "$root/scripts/check-package.sh" "$build"
after=$(dpkg-query -W -f='${Package} ${Version} ${Status}\n' "${packages[@]}" 2>/dev/null || true)
if [ "$before" != "$after" ]; then
  echo "check-package-kept: FAILED: the user's packages changed:"
  echo "before:"; echo "$before"; echo "after:"; echo "$after"
  exit 1
fi
echo "check-package-kept: a user's installed packages are there afterwards, unchanged"
