#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Every fenced block of the README, run as it is pasted, from one table:
the block (a piece of its first line), how it is run, and what it must
show. Devices are swapped for the virtual printer or a file, as a reader
without a printer would; a block with no row fails, and a block that cannot
run here has a row that says why.

    blocks.py SOURCE_DIR BUILD_DIR     the light blocks, against the tests' build
    blocks.py --heavy SOURCE_DIR       make demo, make all, the install and the
                                       Debian package blocks, in a scratch copy
                                       of the tree (they build it)
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HEAVY = sys.argv[1:2] == ["--heavy"]
args = sys.argv[2:] if HEAVY else sys.argv[1:]
SRC = os.path.abspath(args[0])
BUILD = os.path.abspath(args[1]) if not HEAVY else None
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
failures = []


def check(what, ok, detail=""):
    print(("ok    " if ok else "FAIL  ") + what + ("" if ok or not detail else "\n      " + str(detail)[-2000:]))
    if not ok:
        failures.append(what)


def blocks():
    """(language, text) of each fenced block, in order."""
    text = open(os.path.join(SRC, "README.md"), encoding="utf-8").read()
    return [(m.group(1), m.group(2)) for m in re.finditer(r"^```(\w*)\n(.*?)^```$", text, re.S | re.M)]


def run(command, cwd, env=None, timeout=600, shell=True):
    """The command's exit code and what it printed (both streams)."""
    done = subprocess.run(command, cwd=cwd, shell=shell, executable="/bin/bash" if shell else None,
                          env={**os.environ, **(env or {})}, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout)
    return done.returncode, done.stdout


class Printer:
    """The virtual printer, on a pseudo-terminal (--serve) or TCP (--listen)."""

    def __init__(self, tool, folder, *options):
        self.out = open(os.path.join(folder, "printer.out"), "w+")
        self.process = subprocess.Popen([tool, *options, "-o", os.path.join(folder, "printed.png")],
                                        stdout=self.out, stderr=subprocess.STDOUT, text=True)
        self.said = self.wait_for(r"^(device|listening): (\S+)")

    def text(self):
        self.out.flush()
        with open(self.out.name) as f:
            return f.read()

    def wait_for(self, pattern, seconds=10):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            m = re.search(pattern, self.text(), re.M)
            if m:
                return m.group(2) if m.groups() and len(m.groups()) > 1 else m.group(0)
            time.sleep(0.05)
        return None

    def labels(self):
        return len(re.findall(r"^label \d+", self.text(), re.M))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()


class Scratch:
    """A scratch folder; light rows see the tests' build as build/ and the tree's python/ there."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="qb-readme-")
        if BUILD:
            os.symlink(BUILD, os.path.join(self.path, "build"))
            os.symlink(os.path.join(SRC, "python"), os.path.join(self.path, "python"))
        self.tool = os.path.join(BUILD or "", "tools", "quillbar-preview")

    def file(self, name, text=""):
        path = os.path.join(self.path, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def read(self, name):
        with open(os.path.join(self.path, name), encoding="utf-8", errors="replace") as f:
            return f.read()

    def cc(self, source, program):
        return run(f"cc -std=c99 -Wall -Werror -o {program} {source} -I{BUILD}/include -L{BUILD} "
                   f"-Wl,-rpath,{BUILD} -lquillbar", self.path)

    def done(self):
        shutil.rmtree(self.path, ignore_errors=True)


def library_env():
    return {"QUILLBAR_LIBRARY": os.path.join(BUILD, "libquillbar.so.0"),
            "PYTHONPATH": os.path.join(SRC, "python"), "PYTHONDONTWRITEBYTECODE": "1"}


# ---- how each block runs --------------------------------------------------------------------

QUICKSTART = {}  # the quick start's program, for the blocks that build it


def quickstart_program(block, s):
    QUICKSTART["c"] = block
    s.file("quickstart.c", block)
    rc, out = s.cc("quickstart.c", "quickstart")
    check("the quick start's program compiles (-std=c99 -Wall -Werror)", rc == 0, out)


def quickstart_lines(block, s):
    lines = block.strip().splitlines()
    check("the quick start builds with make all", lines[0] == "make all", lines[0])
    s.file("quickstart.c", QUICKSTART["c"])
    # make all (re)builds build/: the heavy run does that; here build/ is the tests' build.
    rc, out = run("\n".join(["set -euo pipefail", *lines[1:]]), s.path)
    check("the quick start's lines build the program and print into label.epl",
          rc == 0 and "N\n" in out and 'B40,300,0,E30,2,2,60,B,"501234567890"' in out and
          "printed with quillbar " in out, out)


def c_fragment(block, s):
    s.file("chinese.c", '#include <stdio.h>\n#include "quillbar.h"\nint main(int argc, char **argv) {\n'
           '    QB_PortSetDevice(1, argv[1]);\n    if (QB_PortOpen(1, 9600) != 0) return 1;\n' + block +
           '    return QB_PortClose();\n}\n')
    rc, out = s.cc("chinese.c", "chinese")
    if rc == 0:
        rc, out = run(f"./chinese {s.file('chinese.epl')}", s.path)
    sent = s.read("chinese.epl") if rc == 0 else ""
    check("the Chinese text line sends one GW block", rc == 0 and sent.startswith("GW40,320,"), out or sent[:40])


def several_in_c(block, s):
    s.file("several.c", block)
    rc, out = s.cc("several.c", "several")
    a, b = s.file("a.epl"), s.file("b.epl")
    if rc == 0:
        rc, out = run(f"./several {a} {b}", s.path)
    check("Several printers (C): each label on its own printer",
          rc == 0 and 'B40,40,0,1,2,2,120,B,"1Z999AA10123456784"' in s.read("a.epl") and
          'E30' in s.read("b.epl") and "E30" not in s.read("a.epl"), out)


def several_in_python(block, s):
    printer = Printer(s.tool, s.path, "--listen", "127.0.0.1:0")
    product = s.file("product.epl")
    script = block.replace("tcp://192.0.2.20:9100", "tcp://" + (printer.said or "")).replace("/dev/usb/lp0", product)
    rc, out = run([PYTHON, "-c", script], s.path, library_env(), shell=False)
    printed = printer.wait_for(r"^label 1", 10)
    printer.stop()
    check("Several printers (Python): a label on the network printer, one in the file",
          rc == 0 and printed is not None and "E30" in s.read("product.epl"), out)


def status_in_c(block, s):
    s.file("status.c", block)
    rc, out = s.cc("status.c", "status")
    printer = Printer(s.tool, s.path, "--serve", "--fault", "paper-out")
    first = run(f"./status {printer.said}", s.path) if rc == 0 else (rc, out)
    printer.process.send_signal(signal.SIGUSR1)
    printer.wait_for(r"^fault cleared")
    second = run(f"./status {printer.said}", s.path) if rc == 0 else (rc, out)
    printer.stop()
    check("Did it print? (C): out of paper reported (exit 2), then printed",
          first[0] == 2 and "reports 07" in first[1] and second == (0, "printed\n"), (first, second))


def status_in_python(block, s):
    printer = Printer(s.tool, s.path, "--serve", "--fault", "paper-out")
    rc, out = run([PYTHON, "-c", block.replace("/dev/ttyUSB0", printer.said or "")], s.path, library_env(),
                  shell=False)
    printer.stop()
    check("Did it print? (Python): the printer says PAPER_OUT", rc == 0 and "the printer says PAPER_OUT" in out, out)


def virtual_printer_lines(block, s):
    s.file("stream.epl", 'N\nq400\nQ200,24\nA20,20,0,4,1,1,N,"README"\nP1\n')
    for line in block.strip().splitlines():
        # Ports 8080 and 9100 may be taken on this machine: any free one instead.
        command = line.split("#")[0].strip().replace("--http 8080", "--http 127.0.0.1:0")
        command = command.replace("--listen 127.0.0.1:9100", "--listen 127.0.0.1:0")
        if "--serve" in command or "--listen" in command or "--http" in command:
            # A printer or a service: it runs until stopped; it must say where it is.
            process = subprocess.Popen(command, cwd=s.path, shell=True, stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT, text=True, start_new_session=True)
            first = process.stdout.readline()
            os.killpg(process.pid, signal.SIGTERM)
            process.wait(20)
            check(f"runs and says where it is: {command}", re.match(r"^(device|listening|http): ", first), first)
        else:
            rc, out = run(command, s.path)
            check(f"runs: {command}", rc == 0, out)
    check("label.png and labels.pdf were written",
          os.path.exists(os.path.join(s.path, "label.png")) and os.path.exists(os.path.join(s.path, "labels.pdf")))


def installed_prefix(s):
    prefix = os.path.join(s.path, "prefix")
    rc, out = run(f"cmake --install {BUILD} --prefix {prefix}", s.path)
    check("the tests' build installs into a scratch prefix", rc == 0, out)
    pc = next((root for root, _, files in os.walk(prefix) if "quillbar.pc" in files), "")
    lib = next((root for root, _, files in os.walk(prefix) if "libquillbar.so.0" in files), "")
    return prefix, pc, lib


def pkg_config_line(block, s):
    prefix, pc, lib = installed_prefix(s)
    s.file("label.c", QUICKSTART["c"])
    rc, out = run(block, s.path, {"PKG_CONFIG_PATH": pc})
    if rc == 0:
        rc, out = run(f"./label {s.file('label.epl')}", s.path, {"LD_LIBRARY_PATH": lib})
    check("pkg-config: the quick start's program builds against the installed tree and prints",
          rc == 0 and "P1" in s.read("label.epl"), out)


def cmake_lines(block, s):
    prefix, _, lib = installed_prefix(s)
    s.file("label.c", QUICKSTART["c"])
    s.file("CMakeLists.txt", "cmake_minimum_required(VERSION 3.16)\nproject(label C)\n"
           "add_executable(label label.c)\n" + block)
    rc, out = run(f"cmake -S . -B b -DCMAKE_PREFIX_PATH={prefix} && cmake --build b && "
                  f"LD_LIBRARY_PATH={lib} b/label {s.file('label.epl')}", s.path)
    check("find_package: a CMake project builds against the installed tree and prints",
          rc == 0 and "P1" in s.read("label.epl"), out)


def python_venv(block, s):
    rc, out = run(block, s.path, {"HOME": s.path, "PIP_NO_INDEX": "1"})
    version = open(os.path.join(BUILD, "include", "quillbar.h")).read()
    expected = re.search(r'QUILLBAR_VERSION_STRING "([^"]+)"', version).group(1)
    check("the module installs into a virtual environment and loads the library",
          rc == 0 and out.strip().endswith(expected), out)


def python_example(block, s):
    printer = Printer(s.tool, s.path, "--serve")
    rc, out = run([PYTHON, "-c", block.replace('"/dev/ttyUSB0"', '"%s"' % printer.said)], s.path,
                  library_env(), shell=False)
    printed = printer.wait_for(r"^label 1")
    printer.stop()
    check("Python: the label prints on the virtual printer, and a missing device says 2001",
          rc == 0 and printed is not None and out.startswith("2001 cannot open /dev/ttyUSB9"), out)


CSHARP = {}


def csharp_program(block, s):
    CSHARP["cs"] = block


def csharp_lines(block, s):
    if not shutil.which("mcs") or not os.path.exists(os.path.join(BUILD, "bindings", "dotnet", "Quillbar.dll")):
        check("C#: skipped, for want of Mono's mcs or the binding's build", True)
        return
    printer = Printer(s.tool, s.path, "--serve")
    s.file("label.cs", CSHARP["cs"].replace('"/dev/ttyUSB0"', '"%s"' % printer.said))
    rc, out = run(block, s.path)
    printed = printer.wait_for(r"^label 1")
    printer.stop()
    check("C#: the README's program compiles with mcs and prints with mono, the library found in build/",
          rc == 0 and printed is not None and "tell the operator" not in out, out)


def node_lines(block, s):
    if not shutil.which("npm"):
        check("Node.js: skipped, for want of npm", True)
        return
    run("npm init -y", s.path)
    rc, out = run(block.replace("npm install ", "npm install --no-audit --no-fund --loglevel=error "), s.path)
    check("Node.js: the package installs and prints into label.epl",
          rc == 0 and s.read("label.epl") == 'N\nA40,40,0,4,1,1,N,"HELLO"\nP1\n', out)


# The heavy rows: each in a scratch copy of the tree, which they build.

def tree_copy(s, with_git=False):
    tree = os.path.join(s.path, "tree")
    exclude = "--exclude='./build*' --exclude='./demo-output' --exclude='./test-logs'"
    if not with_git:
        exclude += " --exclude='./.git'"
    rc, out = run(f"mkdir -p {tree} && tar -C {SRC} {exclude} -cf - . | tar -C {tree} -xf -", s.path)
    check("the tree copies", rc == 0, out)
    return tree


def same_picture(a, b):
    """Whether two PNGs hold the same dots (their bytes may differ in how they are packed)."""
    from PIL import Image
    with Image.open(a) as x, Image.open(b) as y:
        return x.size == y.size and x.convert("1").tobytes() == y.convert("1").tobytes()


def two_commands(block, s):
    lines = block.strip().splitlines()
    check("the two commands are make demo and make test",
          lines[0].startswith("make demo ") and lines[1].startswith("make test "), lines)
    print("skip  make test: it is what CI runs (.ci/run), and this test is one of its parts")
    tree = tree_copy(s)
    began = time.monotonic()
    rc, out = run(lines[0].split("#")[0], tree, timeout=1800)
    seconds = round(time.monotonic() - began)
    logs = os.path.join(SRC, "test-logs")
    if os.path.isdir(logs):
        with open(os.path.join(logs, "demo-seconds"), "w") as f:
            f.write(f"{seconds}\n")
    same = rc == 0 and same_picture(os.path.join(tree, "demo-output", "label.png"),
                                    os.path.join(SRC, "docs", "sample-label.png"))
    check(f"make demo builds and prints the label the README shows, dot for dot ({seconds} s)", same, out[-1500:])
    s.tree = tree


def demo_on_a_device(block, s):
    tree = s.tree
    printer = Printer(os.path.join(tree, "build", "tools", "quillbar-preview"), s.path, "--serve")
    lines = block.strip().splitlines()
    rc, out = run(lines[0].split("#")[0].replace("/dev/ttyUSB0", printer.said or ""), tree)
    printed = printer.wait_for(r"^label 1")
    printer.stop()
    check("make demo PORT=3 DEVICE=...: the sample label on a serial device (the virtual printer)",
          rc == 0 and printed is not None, out)
    lp = s.file("lp0")
    rc, out = run(lines[1].split("#")[0].replace("/dev/usb/lp0", lp), tree)
    check("make demo PORT=1 DEVICE=...: the sample label on a printer node (a file)",
          rc == 0 and s.read("lp0").endswith("P1\n"), out)


def quickstart_heavy(block, s):
    tree = s.tree
    with open(os.path.join(tree, "quickstart.c"), "w") as f:
        f.write(QUICKSTART["c"])
    rc, out = run("set -euo pipefail\n" + block, tree, timeout=1800)
    check("the quick start's lines, make all included, build and print", rc == 0 and "printed with quillbar" in out,
          out)


def install_lines(block, s):
    tree, root = s.tree, os.path.join(s.path, "root")
    # As root, sudo adds nothing (and may not be installed); DESTDIR keeps the machine as it was.
    lines = [line.replace("sudo ", "") for line in block.strip().splitlines()]
    rc, out = run(lines[0], tree, {"DESTDIR": root}, timeout=1800)
    files = [os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs]
    names = {os.path.basename(f) for f in files}
    check("the install builds and installs the library, the header, the tools and the manual pages",
          rc == 0 and {"libquillbar.so.0", "quillbar.h", "quillbar-preview", "quillbar.pc"} <= names, out[-1500:])
    # The manifest names the files where they would be without DESTDIR: here they are under it.
    manifest = os.path.join(tree, "build", "install_manifest.txt")
    with open(manifest) as f:
        installed = [line.strip() for line in f if line.strip()]
    with open(manifest, "w") as f:
        f.write("".join(root + path + "\n" for path in installed))
    rc, out = run(lines[1].split("#")[0], tree)
    left = [os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs]
    check("the uninstall line removes every file the install put there", rc == 0 and not left, (out, left[:5]))


def package_lines(block, s):
    tree = tree_copy(s, with_git=True)
    lines = block.strip().splitlines()
    # The package check installs, uses and purges the packages; installed here, they would stay.
    steps = [line for line in lines if "dpkg -i" not in line]
    rc, out = run("set -euo pipefail\n" + "\n".join(steps), tree, timeout=1800)
    debs = sorted(f for f in os.listdir(os.path.join(tree, "build-deb")) if f.endswith(".deb")) if rc == 0 else []
    check("the package lines build the four packages, tests off as the block says",
          rc == 0 and len(debs) == 4 and any(line.startswith("sudo dpkg -i build-deb/*.deb") for line in lines),
          out[-1500:])
    for deb in debs:
        rc, out = run(f"dpkg-deb --info build-deb/{deb}", tree)
        check(f"{deb} is a package dpkg reads", rc == 0, out)


def heavy_only(what):
    def row(block, s):
        print(f"skip  {what}: runs in the scratch copy of test-package (blocks.py --heavy)")
    return row


def light_only(what):
    def row(block, s):
        if what == "quickstart":
            QUICKSTART["c"] = block
        print(f"skip  {what}: runs against the tests' build (blocks.py SOURCE BUILD)")
    return row


# ---- the table: a piece of the block's first line → (light run, heavy run) --------------------

ROWS = [
    ("make demo   # build", heavy_only("make demo"), two_commands),
    ("make demo PORT=3 DEVICE=/dev/ttyUSB0", heavy_only("make demo on a device"), demo_on_a_device),
    ("#include <stdio.h>\n#include \"quillbar.h\"\n\nint main(int argc, char **argv) {\n    const char *device =",
     quickstart_program, light_only("quickstart")),
    ("make all\ncc -o quickstart", quickstart_lines, quickstart_heavy),
    ("/* 中文标签 in GB2312", c_fragment, light_only("Chinese text")),
    ("#include <stdio.h>\n#include \"quillbar.h\"\n\nint main(int argc, char **argv) {\n    const char *shipping",
     several_in_c, light_only("several printers")),
    ("import quillbar\n\nwith quillbar.Printer(\"tcp://192.0.2.20:9100\")", several_in_python,
     light_only("several printers")),
    ("#include <stdio.h>\n#include \"quillbar.h\"\n\nint main(int argc, char **argv) {\n    QB_Printer *p",
     status_in_c, light_only("did it print")),
    ("import quillbar\n\nwith quillbar.Printer(\"/dev/ttyUSB0\") as p:\n    p.set_clear()", status_in_python,
     light_only("did it print")),
    ("build/tools/quillbar-preview stream.epl", virtual_printer_lines, light_only("the virtual printer")),
    ("make all && sudo cmake --install build", heavy_only("install"), install_lines),
    ("export SOURCE_DATE_EPOCH", heavy_only("packages"), package_lines),
    ("cc -o label label.c $(pkg-config", pkg_config_line, light_only("pkg-config")),
    ("find_package(quillbar", cmake_lines, light_only("find_package")),
    ("python3 -m venv ~/labels-env", python_venv, light_only("the virtual environment")),
    ("import quillbar\n\nwith quillbar.Printer(\"/dev/ttyUSB0\", baud=9600)", python_example,
     light_only("Python")),
    ("using System;\nusing Quillbar;", csharp_program, light_only("C#")),
    ("mcs -r:build/bindings/dotnet/Quillbar.dll", csharp_lines, light_only("C#")),
    ("npm install ./build/bindings/node/", node_lines, light_only("Node.js")),
]


def the_readme_and_make_help():
    """The README stays a user's page; make help names every target there is."""
    with open(os.path.join(SRC, "README.md"), encoding="utf-8") as f:
        lines = f.read().count("\n")
    check(f"the README is at most 450 lines ({lines})", lines <= 450)
    with open(os.path.join(SRC, "Makefile"), encoding="utf-8") as f:
        phony = re.search(r"^\.PHONY:(.*)$", f.read(), re.M).group(1).split()
    rc, out = run("make -s --no-print-directory help", SRC)
    listed = set(re.findall(r"^make ([\w-]+)", out, re.M))
    check("make help lists every target", rc == 0 and set(phony) <= listed, sorted(set(phony) - listed))


def main():
    if not HEAVY:
        the_readme_and_make_help()
    found = blocks()
    # Light rows each get a folder of their own; the heavy ones share the copy they build.
    s = shared = Scratch()
    try:
        for i, (language, text) in enumerate(found):
            if not HEAVY:
                s.done()
                s = Scratch()
            rows = [row for row in ROWS if text.startswith(row[0])]
            check(f"block {i} ({language}) has exactly one row", len(rows) == 1, text.splitlines()[0])
            if len(rows) != 1:
                continue
            print(f"---- block {i} ({language}): {text.splitlines()[0][:70]}")
            try:
                rows[0][2 if HEAVY else 1](text, s)
            except Exception as e:  # a row that could not run fails, with why
                check(f"block {i} ran", False, repr(e))
        check("every row has its block", len(ROWS) == len(found), f"{len(ROWS)} rows, {len(found)} blocks")
    finally:
        s.done()
        shared.done()
    print(f"README blocks: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
