# SPDX-License-Identifier: MIT
"""COM1 under Wine is a pseudo-terminal made here: the Windows test driver
prints every command through COM1 while this reads the other side, then the
bytes are compared with what the driver expected, and the line settings Wine
applied for the driver's SetCommState are read back.

    com1_check.py BUILD_DIR WINE_COMMAND...
"""
import os
import select
import subprocess
import sys
import termios
import time

build, wine = sys.argv[1], sys.argv[2:]
master, slave = os.openpty()
link = os.path.join(build, "com1")
if os.path.lexists(link):
    os.remove(link)
os.symlink(os.ttyname(slave), link)
# Wine rewrites its dosdevices links at every start; the registry holds.
subprocess.run(wine[:-1] + ["reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM1", "/t", "REG_SZ",
                            "/d", link, "/f"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL)
server = subprocess.Popen(["wineserver", "-p"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

expected_file = os.path.join(build, "com1-expected.bin")
out = open(os.path.join(build, "com1-driver.log"), "w")
driver = subprocess.Popen(wine + ["--com1", "com1-expected.bin"], cwd=build, stdout=out, stderr=subprocess.DEVNULL)
received = b""
settings = None
deadline = time.time() + 120
while time.time() < deadline:
    if select.select([master], [], [], 0.1)[0]:
        received += os.read(master, 65536)
        if settings is None:
            settings = termios.tcgetattr(slave)
    elif driver.poll() is not None:
        break
driver.wait(timeout=30)
out.close()
passed = failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print("FAILED: " + what)


log = open(os.path.join(build, "com1-driver.log")).read().replace("\r", "")
check(driver.returncode == 0, "the driver on COM1: " + log.strip()[-300:])
expected = open(expected_file, "rb").read() if os.path.exists(expected_file) else b"-"
# The driver's Chinese text follows the table's lines: a GW header and image.
check(received.startswith(expected), "COM1 carried the table's bytes exactly (%d of %d)" % (len(received), len(expected)))
check(received[len(expected):].startswith(b"GW8,8,4,24,") and received.endswith(b"\n"), "COM1 carried the GW text")
check(settings is not None, "the line settings could be read")
if settings:
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = settings
    check(ospeed == termios.B19200, "speed 19200")
    check(cflag & termios.CSIZE == termios.CS8, "8 data bits")
    check(not cflag & termios.PARENB, "no parity")
    check(not cflag & termios.CSTOPB, "one stop bit")
    check(not oflag & termios.OPOST, "no output processing")
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
