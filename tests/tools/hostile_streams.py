#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Streams that claim far more than they are, run through quillbar-preview
under a 1 GB address-space limit and a 20 s time limit: none may crash,
abort, hang or run out of memory, and where the stream is at fault the
tool says so.

    hostile_streams.py PREVIEW
"""
import os
import resource
import struct
import subprocess
import sys
import tempfile
import time


def pcx(xmax, ymax, line, body):
    header = bytearray(128)
    header[0], header[1], header[2], header[3] = 0x0A, 5, 1, 1
    struct.pack_into("<HHHH", header, 4, 0, 0, xmax, ymax)
    header[65] = 1
    struct.pack_into("<H", header, 66, line)
    return bytes(header) + body


def gm(name, data):
    return b'GM"' + name + b'"' + str(len(data)).encode() + b"\n" + data


huge_runs = b"\xff\xff" * (4096 * 32768 // 63 + 10)  # a run-length PCX of 32768 x 32768 dots
one_dot = pcx(0, 0, 2, b"\xff\xff")  # the smallest graphic there is

STREAMS = [
    # name, stream, text the diagnostics must hold ("" where the stream is fine)
    ("GW size overflows", b"N\nGW0,0,4294967296,4294967296,\x00\x00\x00\nP1\n", "overflows"),
    ("GW of zero bytes and 10^12 rows", b"N\nGW0,0,0,999999999999,\nLO0,0,8,8\nP1\n", "holds no data"),
    ("GW larger than kept", b"N\nGW0,0,100000,100000,\x00\x00\n", "more than the preview keeps"),
    ("64 KB of P lines", b"N\nLO0,0,8,8\n" + b"P1\n" * 21845, "label limit reached"),
    ("PCX with a lying header", gm(b"LIE", pcx(32767, 32767, 4096, b"\xc1\x00" * 8 + b"\x00")), "more than its"),
    ("run-length PCX of 32768 x 32768", gm(b"HUGE", pcx(32767, 32767, 4096, huge_runs)), "larger than any label"),
    ("60 KB of text at the largest size", b'N\nA0,0,0,5,8,9,N,"' + b"W" * 61440 + b'"\nP1\n', ""),
    ("LE far off the label", b"N\nLE999999999,999999999,999999999,999999999\n"
     b"LE-999999999,-999999999,1999999999,1999999999\nLW-5,-5,2000000000,2000000000\nP1\n", ""),
    ("N on the largest label, again and again", b"q4096\nQ16384,24\n" + b"LO0,0,4096,16384\nN\n" * 200 + b"N\n" * 20000
     + b"P1\n", ""),
    ("q and Q changing the label, again and again", b"q4096\nQ16384,24\nLO0,0,10,10\nq100\nLO0,0,10,10\n" * 300, ""),
    ("GM announcing 10^12 bytes", b'GM"BIG"999999999999\n' + b"\x00" * 1000, "cut short"),
    ("a flood of bad lines", b"\x01bad\n" * 200000, "more lines the printer could not take"),
    ("a line without end", b"A" * (2 << 20), "line longer than"),
    ("LS across everything", b"N\nLS-999999999,-999999999,999999,999999999,999999999\nP1\n", ""),
    ("a form with 10^5 counters' worth of sets",
     b'FS"F"\nC0,5,N,+1,"n"\nA0,0,0,1,1,1,N,C0\nFE\nN\nFR"F"\n?\n1\nP65535\n', "label limit reached"),
    # A PA among a form's counter objects is met again each time the form's
    # label prints: it must not start a print from inside that print.
    # Floods of tiny stored objects fill the printer's memory, not the host's.
    ("300,000 stored 1x1 graphics", b"".join(gm(b"%d" % i, one_dot) for i in range(300000)), "graphics memory full"),
    ("forms with 60 KB names", b"".join(b'FS"' + b"%05d" % i + b"N" * 61000 + b'"\nFE\n' for i in range(400)),
     "form memory full"),
    ("PA among the counter objects", b'FS"F"\nPA1,3,C0\nPA\nFE\nFR"F"\n', "while a label is printing"),
    ("PA among the counter objects, unnamed form", b'FS""\nPA1,1,C0\nPA\nFE\nFR""\n', "while a label is printing"),
    ("PA among the counter objects, with data", b'FS"F"\nC0,1,N,+1,"c"\nPA1,1,C0\nPA\nFE\nFR"F"\n?\n1\n',
     "while a label is printing"),
    ("PA among counter objects printing sets", b'FS"F"\nA0,0,0,1,1,1,N,C0\nPA1,2,C0\nPA2\nFE\nFR"F"\n',
     "while a label is printing"),
]


def limit():
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


def main():
    preview = sys.argv[1]
    passed = failed = 0
    with tempfile.TemporaryDirectory() as scratch:
        for name, stream, says in STREAMS:
            path = os.path.join(scratch, "stream.epl")
            with open(path, "wb") as f:
                f.write(stream)
            out = os.path.join(scratch, "out")
            os.makedirs(out, exist_ok=True)
            start = time.monotonic()
            try:
                done = subprocess.run([preview, "-o", os.path.join(out, "label.png"), path], preexec_fn=limit,
                                      capture_output=True, timeout=20)
                code, err = done.returncode, done.stderr.decode("utf-8", "replace")
            except subprocess.TimeoutExpired:
                code, err = "timeout", ""
            took = time.monotonic() - start
            for f in os.listdir(out):
                os.remove(os.path.join(out, f))
            ok = code in (0, 2) and (says in err if says else True)
            if ok:
                passed += 1
                print("ok   %-45s exit %s in %.1f s" % (name, code, took))
            else:
                failed += 1
                print("FAIL %-45s exit %s in %.1f s; stderr: %s" % (name, code, took, err[-300:]))
    print("hostile streams: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
