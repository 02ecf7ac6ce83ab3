#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints a label through quillbar from Python.

    python3 examples/python/label.py

COM1 is routed to a pseudo-terminal this script opens, so no printer is
needed: the EPL2 stream the library sent is read back and shown. Then an
error on purpose, caught as quillbar.Error.
"""
import os
import select

import quillbar

master, slave = os.openpty()
with quillbar.Printer(os.ttyname(slave), baud=9600) as p:
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

stream = b""
while select.select([master], [], [], 0.2)[0]:
    stream += os.read(master, 65536)
for line in stream.split(b"\n"):
    print(line[:60])
assert stream.endswith(b"P1\n"), stream[-20:]
print("quillbar %s printed %d bytes" % (quillbar.library_version(), len(stream)))
