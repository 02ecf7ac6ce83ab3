#!/usr/bin/env python3
"""Prints a label through quillbar from Python, with ctypes only.

    python3 examples/python/label.py [PATH/TO/libquillbar.so.0]

COM1 is routed to a pseudo-terminal this script opens, so no printer is
needed: the EPL2 stream the library sent is read back and shown. Then an
error on purpose, and its text decoded from GB2312.
"""
import ctypes
import os
import select
import sys

lib = ctypes.CDLL(sys.argv[1] if len(sys.argv) > 1 else "libquillbar.so.0")

# int everywhere; the two functions that take or return text say so.
lib.QB_PortSetDevice.argtypes = [ctypes.c_int, ctypes.c_char_p]
lib.QB_PrintCharacter.argtypes = [ctypes.c_int] * 7 + [ctypes.c_char_p]
lib.QB_PrintBarcode.argtypes = [ctypes.c_int] * 8 + [ctypes.c_char_p]
lib.QB_PrintChineseStr.argtypes = [ctypes.c_int] * 6 + [ctypes.c_char_p]
lib.QB_GetLastError.restype = ctypes.c_char_p

COM1 = 3


def check(result, what):
    if result != 0:
        raise RuntimeError("%s failed: %s" % (what, lib.QB_GetLastError().decode("gb2312")))


master, slave = os.openpty()
check(lib.QB_PortSetDevice(COM1, os.ttyname(slave).encode()), "QB_PortSetDevice")
check(lib.QB_PortOpen(COM1, 9600), "QB_PortOpen")
check(lib.QB_SetPaperSize(0, 60, 40, 3), "QB_SetPaperSize")
check(lib.QB_SetClear(), "QB_SetClear")
check(lib.QB_PrintBox(1, 1, 59, 39, 1), "QB_PrintBox")
check(lib.QB_PrintCharacter(4, 4, 0, 3, 1, 1, 0, b"FROM PYTHON"), "QB_PrintCharacter")
check(lib.QB_PrintChineseStr(4, 10, 1, 0, 2, 0, "中文".encode("gb2312")), "QB_PrintChineseStr")
check(lib.QB_PrintBarcode(4, 20, 0, 1, 2, 6, 60, 1, b"PY-0001"), "QB_PrintBarcode")
check(lib.QB_Print(1), "QB_Print")
check(lib.QB_PortClose(), "QB_PortClose")

stream = b""
while select.select([master], [], [], 0.2)[0]:
    stream += os.read(master, 65536)
print("sent %d bytes; lines: %s" % (len(stream), [l for l in stream.split(b"\n") if not l.startswith(b"GW")]))
assert stream.startswith(b"q480\nQ320,24\nN\n") and stream.endswith(b"P1\n"), stream[:40]

# A darkness of 99 is refused: the last error, in the library's GB2312.
assert lib.QB_SetDarkness(99) == -1
print("error on purpose:", lib.QB_GetLastErrorCode(), lib.QB_GetLastError().decode("gb2312"))
assert lib.QB_GetLastError().decode("gb2312") == "1001--参数错误"
print("the label went out and the error read back")
