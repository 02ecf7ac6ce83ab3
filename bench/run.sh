#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every measurement of `make bench`, each against a peer or floor of the same
# run (bench/report.py prints them as one table), then the print-server and
# status round-trip figures, which their own programs set against a direct
# route and a plain write and read. Usage: bench/run.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)

/usr/bin/python3 "$here/report.py" "$build"
echo
# Through a print server of our own (cupsd needs root for its lp user).
if [ "$(id -u)" -eq 0 ] && [ -x /usr/sbin/cupsd ]; then
  "$build/bench/quillbar_print_server_rate" "$build/tools/quillbar-preview" 300
else
  echo "(no print-server figure: needs root and Debian's cups)"
fi
"$build/bench/quillbar_status_round_trip" "$build/tools/quillbar-preview" 300
echo
"$build/bench/quillbar_http_rate" "$build/tools/quillbar-preview" 1
echo
if [ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ]; then
  /usr/bin/python3 "$here/page_latency.py" "$build/tools/quillbar-preview" 15
else
  echo "(no keystroke-to-picture figure: needs Debian's chromium and chromium-driver)"
fi
