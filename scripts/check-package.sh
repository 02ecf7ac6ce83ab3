#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the four Debian packages (a Release build installed to /usr, so the
# library lands in the multiarch directory), checks them with lintian (no
# errors allowed), and uses them: builds a C program and runs a Python
# script against them and renders with their tool. The machine's packages
# stay as they were: when none of the four is installed, they are installed
# with dpkg, used and purged again; when any is (a copy the user installed),
# nothing is installed or removed, and the packages are used from a folder
# they are unpacked into. Needs root.
# Usage: scripts/check-package.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
if [ "$(id -u)" -ne 0 ]; then
  echo "check-package: skipped (installing a package needs root)"
  exit 0
fi
packages=(libquillbar0 libquillbar-dev quillbar-tools python3-quillbar)
# Reproducible: every date in the packages is the last commit's.
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1767225600)
export SOURCE_DATE_EPOCH
make_packages() {  # builds in $1 and makes the packages there
  cmake -S "$root" -B "$1" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_SKIP_RPATH=ON -DQUILLBAR_TOOLS=ON -DQUILLBAR_TESTS=OFF -DQUILLBAR_WERROR=ON >/dev/null
  cmake --build "$1" -j"$(nproc)" >/dev/null
  rm -f "$1"/*.deb
  (cd "$1" && cpack >/dev/null)
}
make_packages "$build"
build=$(cd "$build" && pwd)
debs=("$build"/*.deb)
[ ${#debs[@]} -eq 4 ] || { echo "check-package: expected 4 packages, got ${#debs[@]}"; exit 1; }

# Two builds in two folders give the same packages, byte for byte (once a
# run is enough: check-package-kept.sh leaves this out).
if [ -z "${QUILLBAR_SAME_PACKAGES_CHECKED:-}" ]; then
  again=$(mktemp -d)
  make_packages "$again/build"
  for deb in "${debs[@]}"; do
    cmp "$deb" "$again/build/$(basename "$deb")" || { echo "check-package: $(basename "$deb") differs between two builds"; exit 1; }
  done
  rm -rf "$again"
  echo "check-package: two builds give byte-identical packages"
fi

# What Debian libraries declare: Multi-Arch, the symbols file (checked
# against the library: a symbol added or lost without it fails), hardening.
for deb in "$build"/libquillbar0_*.deb "$build"/libquillbar-dev_*.deb; do
  [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ] || { echo "check-package: $deb is not Multi-Arch: same"; exit 1; }
done
lib_root=$(mktemp -d)
dpkg-deb -x "$build"/libquillbar0_*.deb "$lib_root"
dpkg-deb -e "$build"/libquillbar0_*.deb "$lib_root/DEBIAN"
library=$(find "$lib_root" -name 'libquillbar.so.0.*' -type f)
dpkg-gensymbols -plibquillbar0 -v"$(dpkg-deb -f "$build"/libquillbar0_*.deb Version)" -e"$library" \
  -I"$lib_root/DEBIAN/symbols" -O"$lib_root/symbols.now" -c4
# Each listing is taken whole before it is searched: grep -q leaving a pipe
# early kills the writer with SIGPIPE, which pipefail reports as a failure.
dynamic=$(readelf -d "$library") segments=$(readelf -l "$library") symbols=$(nm -D "$library")
grep -q 'FLAGS.*BIND_NOW' <<<"$dynamic" || { echo "check-package: the library is not bound at load (-z now)"; exit 1; }
grep -q GNU_RELRO <<<"$segments" || { echo "check-package: the library has no read-only relocations"; exit 1; }
grep -q '__[a-z]*_chk' <<<"$symbols" || { echo "check-package: no fortified calls in the library"; exit 1; }
rm -rf "$lib_root"
echo "check-package: Multi-Arch: same, symbols as declared, hardened"

# lintian: warnings are shown, errors fail.
lintian --fail-on error --allow-root "${debs[@]}"
echo "check-package: lintian reports no errors for ${#debs[@]} packages"

scratch=$(mktemp -d)
installed=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' && installed+=("$p")
done
if [ ${#installed[@]} -eq 0 ]; then
  echo "check-package: installs the four packages with dpkg, and purges them at the end"
  trap 'dpkg -P "${packages[@]}" >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
  dpkg -i "${debs[@]}" >/dev/null
  for p in "${packages[@]}"; do
    dpkg -s "$p" | grep -E '^(Package|Version|Depends):' | tr '\n' ' '
    echo
  done
  prefix=""
else
  # Unpacked, not installed: what the user installed is not touched.
  echo "check-package: ${installed[*]} installed here: left as they are; the new packages are used unpacked"
  trap 'rm -rf "$scratch"' EXIT
  prefix="$scratch/root"
  for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$prefix"; done
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  export LD_LIBRARY_PATH="$prefix/usr/lib/$multiarch" PKG_CONFIG_SYSROOT_DIR="$prefix"
  export PKG_CONFIG_LIBDIR="$prefix/usr/lib/$multiarch/pkgconfig" PATH="$prefix/usr/bin:$PATH"
  export PYTHONPATH="$prefix/usr/lib/python3/dist-packages" MANPATH="$prefix/usr/share/man"
fi

# A C program against the installed header and library, found by pkg-config.
cc -std=c99 -Wall -Wextra -Werror -o "$scratch/sample" "$root/examples/sample_label.c" \
  $(pkg-config --cflags --libs quillbar)
touch "$scratch/stream.epl"
"$scratch/sample" 1 "$scratch/stream.epl"
quillbar-preview -o "$scratch/label.png" "$scratch/stream.epl"
test -s "$scratch/label.png"

# The installed Python module, loading the installed library by its SONAME.
touch "$scratch/py.epl"
(cd "$scratch" && env -u QUILLBAR_LIBRARY PYTHONPATH="${PYTHONPATH:-}" /usr/bin/python3 -c '
import sys, quillbar
assert quillbar.__file__.startswith(sys.argv[2] + "/usr/lib/python3/dist-packages/"), quillbar.__file__
with quillbar.Printer(sys.argv[1], port=quillbar.LPT1) as p:
    p.set_clear()
    p.send_command("OD")
    p.print(1)
assert open(sys.argv[1], "rb").read() == b"N\nOD\nP1\n"
print("python3-quillbar", quillbar.__version__, "library", quillbar.library_version())
' "$scratch/py.epl" "$prefix")
quillbar-preview --version | head -n 1
# --http hands over to the installed web program, which has /metrics.
coproc web { exec quillbar-preview --http 127.0.0.1:0 2>&1; }
read -r said <&"${web[0]}"
curl -s -o /dev/null -H 'Host: localhost' "${said#http: }healthz"
metrics=$(curl -s -H 'Host: localhost' "${said#http: }metrics")
kill "$web_PID"
wait "$web_PID" || true
grep -q '^quillbar_http_requests_total{code="200"} 1' <<<"$metrics" ||
  { echo "check-package: no metrics from the installed web program: ${said} ${metrics:0:200}"; exit 1; }
man -w quillbar >/dev/null && man -w quillbar-preview >/dev/null && man -w QB_PortOpen >/dev/null &&
  man -w QB_PrinterStatus >/dev/null
echo "check-package: the four packages $([ -n "$prefix" ] && echo "unpacked in $prefix" || echo installed): they link, print, render and serve"
