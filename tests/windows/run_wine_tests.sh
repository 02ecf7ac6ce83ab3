#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the Windows tests of a cross-built tree under Wine and checks the DLL's
# export and import tables. Prints "N passed, N failed".
# Usage: run_wine_tests.sh BUILD_DIR ARCH(i686|x86_64)
set -uo pipefail
build=$(cd "$1" && pwd) arch=$2
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
log="$build/wine-tests.log"
: >"$log"
# Wine takes its code page (936, GBK) from the locale's name, which this
# machine need not have: given to Wine alone, so that no shell complains.
wine=(env LC_ALL=zh_CN.UTF-8 wine)
passed=0 failed=0
tally() {  # adds a driver's "N passed, N failed" line
  local line
  line=$(tr -d '\r' <"$1" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -n 1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); echo "FAILED: $2 ran no test"; tr -d '\r' <"$1" | tail -n 5
  else
    passed=$((passed + ${line%% passed*})); failed=$((failed + $(echo "$line" | sed 's/.*, \([0-9]*\) failed/\1/')))
    tr -d '\r' <"$1" | grep '^FAILED' || true
  fi
}
check() { if eval "$1"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $2"; fi; }

# The export table: every export under its plain name but one, and imports
# of system DLLs only.
objdump="$arch-w64-mingw32-objdump"
exports=$("$objdump" -p "$build/quillbar.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed 1d |
  grep -o '\] .*' | cut -c3- | sort)
# What the one list of exports names: QB_<Name> for an export of its own,
# QB_<Name> and QB_Printer<Name> for a shared operation.
list="$here/../../src/operations.def"
expected=$( (sed -n 's/^QB_EXPORT(\([A-Za-z0-9]*\),.*/QB_\1/p' "$list"
  sed -n 's/^QB_OPERATION[0_A-Z]*(\([A-Za-z0-9]*\)[,)].*/QB_\1\nQB_Printer\1/p' "$list") |
  sed 's/^QB_SetPrinterComDots$/_QB_SetPrinterComDots@4/' | sort)
check '[ "$exports" = "$expected" ]' "the export table is $(echo $exports)"
imports=$("$objdump" -p "$build/quillbar.dll" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
check '[ "$imports" = "gdi32.dll kernel32.dll msvcrt.dll user32.dll winspool.drv " ]' "imports only system DLLs: $imports"

wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
# A prefix whose making was cut short (its system DLLs missing) is made
# anew, and waited for whole before anything runs in it.
if [ ! -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
  rm -rf "$WINEPREFIX"
  env LC_ALL=zh_CN.UTF-8 wineboot -i >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
fi
wineserver -p >/dev/null 2>&1

(cd "$build" && timeout 300 "${wine[@]}" quillbar_win_tests.exe >"$build/win-tests.out" 2>/dev/null)
tally "$build/win-tests.out" "the driver"

/usr/bin/python3 "$here/com1_check.py" "$build" "${wine[@]}" quillbar_win_tests.exe >"$build/com1.out" 2>&1
tally "$build/com1.out" "the COM1 check"

/usr/bin/python3 "$here/queue_check.py" "$build" "${wine[@]}" quillbar_win_tests.exe >"$build/queue.out" 2>&1
tally "$build/queue.out" "the installed-printer check"

# Message boxes need a display: a virtual one, and a Wine session started
# under it (a session started without one has no desktop to show them on).
wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
(cd "$build" && timeout 300 xvfb-run -a "${wine[@]}" quillbar_win_tests.exe --message-boxes \
  >"$build/boxes.out" 2>/dev/null)
tally "$build/boxes.out" "the message boxes"

wineserver -k >/dev/null 2>&1
echo "windows-$arch: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
