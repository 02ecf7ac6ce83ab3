#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints a label through quillbar from Python.

    python3 examples/python/label.py                  # to a pseudo-terminal, shown here
    python3 examples/python/label.py /dev/ttyUSB0     # to a serial printer
    python3 examples/python/label.py /dev/usb/lp0 0   # to a USB printer (baud 0: no line settings)
    python3 examples/python/label.py tcp://192.0.2.7:9100 0

With no device, the label goes to a pseudo-terminal this script opens, so no
printer is needed: the EPL2 stream the library sent is read back and shown.
Then an error on purpose, caught as quillbar.Error. Run from the source tree,
the module and the library of its build/ are found without installing.
"""
import os
import select
import sys

# From the source tree, the module beside this example.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

import quillbar  # noqa: E402

device = sys.argv[1] if len(sys.argv) > 1 else None
baud = int(sys.argv[2]) if len(sys.argv) > 2 else 9600
master = None
if device is None:
    master, slave = os.openpty()
    device = os.ttyname(slave)

with quillbar.Printer(device, baud=baud) as p:
    p.set_initialize(2, 10, 1)
    p.set_paper_size(0, 60, 40, 3)
    p.set_clear()
    p.print_box(1, 1, 59, 39, 1)
    p.print_character(4, 4, 0, 4, 1, 1, 0, "PYTHON")
    p.print_chinese_str(4, 14, 0, 0, 3, 0, "中文标签")
    p.send_command('B32,200,0,E30,2,2,60,B,"501234567890"')  # EAN-13: no export says it
    p.print(1)
    try:
        p.set_darkness(42)
    except quillbar.Error as e:
        print("refused as it should be: %s (code %d)" % (e.message, e.code))

if master is None:
    print("quillbar %s printed to %s" % (quillbar.library_version(), device))
    sys.exit(0)
stream = b""
while select.select([master], [], [], 0.2)[0]:
    stream += os.read(master, 65536)
for line in stream.split(b"\n"):
    print(line[:60])
assert stream.endswith(b"P1\n"), stream[-20:]
print("quillbar %s printed %d bytes" % (quillbar.library_version(), len(stream)))
