#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs every measurement of `make bench` and prints them as one table.

Every figure is CPU time (the benchmark thread's, or a child process's from
getrusage), set against a peer or a floor measured in the same run, the two
of each pair run alternately, round after round, and their medians compared.
Usage: report.py BUILD_DIR
"""
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.join(BUILD, "bench", "quillbar_bench")
UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
rows = []


def gbench(pattern, min_time="0.3"):
    """CPU seconds per iteration of each benchmark matching pattern."""
    out = subprocess.run([BENCH, "--benchmark_filter=" + pattern, "--benchmark_min_time=" + min_time,
                          "--benchmark_format=json"], capture_output=True, text=True, check=True).stdout
    return {b["name"]: b["cpu_time"] * UNIT[b["time_unit"]] for b in json.loads(out)["benchmarks"]}


def child_cpu(cmd, before_each=None, env=None):
    """CPU seconds (user + system) a fresh process takes for cmd."""
    if before_each:
        before_each()
    start = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True, env=env)
    end = resource.getrusage(resource.RUSAGE_CHILDREN)
    return end.ru_utime - start.ru_utime + end.ru_stime - start.ru_stime


def alternate(rounds, **runs):
    """Runs each named function once a round, in turn; the median of each."""
    got = {name: [] for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            got[name].append(run())
    return {name: statistics.median(values) for name, values in got.items()}


def row(what, ours, other, against, note=""):
    rows.append((what, ours, other, against, other / ours if ours else float("nan"), note))


def fmt(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return "%.2f %s" % (seconds / scale, unit)
    return "%.0f ns" % (seconds / 1e-9)


# Chinese text, warm, against Pillow doing the same job.
for size in (1, 2, 3, 4):
    m = alternate(7, ours=lambda: gbench("^BM_ChineseText/%d$" % size)["BM_ChineseText/%d" % size],
                  peer=lambda: float(subprocess.run(["/usr/bin/python3", os.path.join(HERE, "peer_pil.py"), str(size),
                                                     "0.3"], capture_output=True, text=True, check=True).stdout))
    row("QB_PrintChineseStr, 4 characters, size %d, warm" % size, m["ours"], m["peer"], "Pillow peer",
        "peer/ours" if size > 1 else "peer/ours; the peer has no glyph cache and lays out with its text engine")

# A label in a fresh process, against a program that only writes its bytes.
with tempfile.TemporaryDirectory() as tmp:
    port, bytes_of = os.path.join(tmp, "port"), {}
    first = os.path.join(BUILD, "bench", "quillbar_first_call")
    floor = os.path.join(BUILD, "bench", "quillbar_first_call_floor")
    fresh = lambda: open(port, "w").close()
    for mode in ("flat", "label"):
        fresh()
        subprocess.run([first, mode, port], check=True)
        bytes_of[mode] = os.path.join(tmp, mode + ".bytes")
        os.replace(port, bytes_of[mode])
    # The glyphs of the Chinese text are kept on disk by the first process
    # that draws them; "no glyphs kept" runs each time on a cache that holds
    # the face memory only, as the first program on a machine does.
    cache = os.path.join(tmp, "cache")
    home_cache = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    cold_env = dict(os.environ, XDG_CACHE_HOME=cache)

    def cold():
        fresh()
        shutil.rmtree(cache, ignore_errors=True)
        os.makedirs(os.path.join(cache, "quillbar"))
        faces = os.path.join(home_cache, "quillbar", "faces")
        if os.path.exists(faces):
            shutil.copy(faces, os.path.join(cache, "quillbar", "faces"))
    # A store that holds the label's glyphs and little else, and one filled
    # to its cap by a program that printed every GB2312 character in every
    # size (then the label once, whose glyphs a full store keeps first).
    def store_of(name, fill):
        folder = os.path.join(tmp, name)
        os.makedirs(os.path.join(folder, "quillbar"))
        env = dict(os.environ, XDG_CACHE_HOME=folder)
        if fill:
            subprocess.run([first, "fill", os.devnull], check=True, env=env)
        subprocess.run([first, "flat", os.devnull], check=True, env=env)
        return env
    small_env, full_env = store_of("small-store", False), store_of("full-store", True)
    m = alternate(25, floor=lambda: child_cpu([floor, port, bytes_of["flat"]], fresh),
                  flat=lambda: child_cpu([first, "flat", port], fresh),
                  handle=lambda: child_cpu([first, "handle", port], fresh),
                  cold=lambda: child_cpu([first, "flat", port], cold, cold_env),
                  small=lambda: child_cpu([first, "flat", port], fresh, small_env),
                  full=lambda: child_cpu([first, "flat", port], fresh, full_env),
                  label_floor=lambda: child_cpu([floor, port, bytes_of["label"]], fresh),
                  label=lambda: child_cpu([first, "label", port], fresh))
    for name, what in (("flat", "Chinese text, flat API"), ("handle", "Chinese text, on a handle"),
                       ("cold", "Chinese text, no glyphs kept yet (empty store)"),
                       ("small", "Chinese text, a small store"),
                       ("full", "Chinese text, a store at its cap (2 MB)")):
        row("first call in a fresh process: " + what, m[name], m["floor"], "floor",
            "whole process; %+.2f ms over the floor" % ((m[name] - m["floor"]) * 1e3))
    row("first call in a fresh process: a text and bar-code label", m["label"], m["label_floor"], "floor",
        "whole process; %+.2f ms over the floor" % ((m["label"] - m["label_floor"]) * 1e3))

    # The virtual printer in a fresh process: a typical label to PNG, against
    # the same program doing nothing.
    preview = os.path.join(BUILD, "tools", "quillbar-preview")
    stream = os.path.join(tmp, "typical.epl")
    gw = b"GW20,300,4,16," + bytes([0x0F] * 64) + b"\n"
    with open(stream, "wb") as f:
        f.write(b"\nN\nq812\nQ600,24\nA40,40,0,3,1,1,N,\"SHIP TO: A. READER\"\nA40,80,0,4,1,1,N,\"QUILLBAR 0142\"\n"
                b"B40,140,0,1,2,6,100,B,\"QB-2026-000142\"\n" + gw + b"LO20,560,700,4\nP1\n")
    png = os.path.join(tmp, "label.png")
    m = alternate(25, idle=lambda: child_cpu([preview, "--version"]),
                  label=lambda: child_cpu([preview, "-o", png, stream]))
    row("quillbar-preview, typical label to PNG, fresh process", m["label"], m["idle"], "--version",
        "%+.2f ms over the same program doing nothing" % ((m["label"] - m["idle"]) * 1e3))

# The channel to a pseudo-terminal, against a plain write() loop.
m = alternate(9, ours=lambda: gbench("^BM_ChannelToPty$")["BM_ChannelToPty"],
              plain=lambda: gbench("^BM_PlainWriteToPty$")["BM_PlainWriteToPty"],
              formatted=lambda: gbench("^BM_FormattedWriteToPty$")["BM_FormattedWriteToPty"])
row("1 MB in 54-byte commands to a pseudo-terminal", m["ours"], m["plain"], "write() loop", "plain/ours (1.0 = as fast)")
row("the same, against lines composed as they go", m["ours"], m["formatted"], "snprintf+write loop",
    "peer/ours: a program writing EPL2 by hand")

# Each export against a plain write() of a line to the same kind of file.
exports = {}
for _ in range(3):
    for name, seconds in gbench("^BM_Export/|^BM_PlainWriteToFile$|^BM_FlatCall$|^BM_HandleCall$|^BM_PlainWriteToDevNull$",
                                "0.1").items():
        exports.setdefault(name, []).append(seconds)
exports = {name: statistics.median(v) for name, v in exports.items()}
floor = exports.pop("BM_PlainWriteToFile")
for name in sorted(n for n in exports if n.startswith("BM_Export/")):
    row(name[len("BM_Export/"):] + ", per call to a file", exports[name], floor, "write() of a line", "floor/ours")
row("QB_PrintCharacter on a handle (to /dev/null)", exports["BM_HandleCall"], exports["BM_FlatCall"], "flat call",
    "flat/handle")
row("QB_PrintCharacter, flat (to /dev/null)", exports["BM_FlatCall"], exports["BM_PlainWriteToDevNull"],
    "write() of its line", "floor/ours; %.0f ns a call is the library's own path"
    % ((exports["BM_FlatCall"] - exports["BM_PlainWriteToDevNull"]) * 1e9))

# The virtual printer: rendering, and the PNG into memory and into a new file.
p = gbench("^BM_RenderLabel$|^BM_EncodeLabelPng$|^BM_WriteLabelPngFile$")
row("virtual printer: render a 20-object 100 x 150 mm label", p["BM_RenderLabel"], p["BM_EncodeLabelPng"],
    "its PNG in memory", "PNG/render")
row("virtual printer: that PNG into a new file", p["BM_WriteLabelPngFile"], p["BM_EncodeLabelPng"],
    "the same in memory", "memory/file: the rest is the file system")

# Peak memory of the sample label program against /bin/true (KiB, not time),
# each read in a fresh interpreter so that no earlier child counts.
PEAK = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True); "
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
peak = lambda cmd: int(subprocess.run(["/usr/bin/python3", "-c", PEAK] + cmd, capture_output=True, text=True,
                                      check=True).stdout)
true_kib = peak(["/bin/true"])
sample_kib = peak([os.path.join(BUILD, "examples", "sample_label")])

width = max(len(r[0]) for r in rows)
print("%-*s  %10s  %10s  %-20s %7s  %s" % (width, "measure (CPU time)", "quillbar", "other", "other is", "ratio", ""))
for what, ours, other, against, ratio, note in rows:
    print("%-*s  %10s  %10s  %-20s %7.2f  %s" % (width, what, fmt(ours), fmt(other), against, ratio, note))
print("%-*s  %7d KiB  %6d KiB  %-20s %7.2f  %s" % (width, "peak resident memory, sample label program", sample_kib,
                                                 true_kib, "/bin/true", true_kib / sample_kib, "true/ours"))
