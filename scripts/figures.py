#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The figures the documents state (how long make test and make demo take,
the disk make test leaves, what each part counted), kept in one place:
scripts/figures.env, written from the last fresh run's logs.

    figures.py update [LOGS]   LOGS (test-logs/ by default) holds summary.txt,
                               and demo-seconds when the README's blocks ran;
                               writes figures.env, then the README, the
                               contributors' table and what make test-plan says
    figures.py check           fails when the README, docs/contributing.md or
                               make test-plan says otherwise than figures.env
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENV = os.path.join(ROOT, "scripts", "figures.env")
README = os.path.join(ROOT, "README.md")
CONTRIBUTING = os.path.join(ROOT, "docs", "contributing.md")

# What each part does; its time and count come from the run.
PARTS = [
    ("test-deps", "says what is missing and installs it in one step"),
    ("test-release", "build with warnings as errors, then every test (the print-server tests with their own "
                     "cupsd, the bindings', the web service's, the page's in Chromium, the README's blocks)"),
    ("test-package", "two Release builds of the Debian packages compared byte for byte, lintian, install, use, "
                     "purge; the README's install and package blocks in a scratch copy"),
    ("test-sanitize", "the build and the tests again under AddressSanitizer and UndefinedBehaviorSanitizer"),
    ("test-tsan", "the thread, handle, handler and status tests under ThreadSanitizer, and the web service's"),
    ("fuzz", "the clang build of the fuzz targets, then 60 s of each"),
    ("test-windows", "the 32- and 64-bit DLLs cross-built, then their tests under Wine"),
]
# Where the README states them: each pattern has one group, the figure.
README_FIGURES = {
    "DEMO_SECONDS": r"`make demo` takes about\s+(\S+)\s+seconds",
    "TEST_MINUTES": r"`make test` takes about\s+(\S+)\s+minutes",
    "TEST_DISK_GB": r"minutes and\s+(\S+)\s+GB of disk",
}
TABLE_START, TABLE_END = "<!-- figures: written by scripts/figures.py -->", "<!-- end of figures -->"


def read_env():
    env = {}
    with open(ENV, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                key, _, value = line.partition("=")
                env[key] = value.strip('"')
    return env


def table(env):
    rows = ["| part | what it does | what its tests counted | time |", "|---|---|---|---|"]
    for part, what in PARTS:
        key = "PART_" + part.upper().replace("-", "_")
        seconds, _, counted = env.get(key, "|").partition("|")
        rows.append(f"| `{part}` | {what} | {counted or '—'} | {seconds + ' s' if seconds else '—'} |")
    return "\n".join([TABLE_START, *rows, TABLE_END])


def rewrite(path, env):
    text = open(path, encoding="utf-8").read()
    for key, pattern in README_FIGURES.items():
        if re.search(pattern, text):
            text = re.sub(pattern, lambda m: m.group(0).replace(m.group(1), env[key]), text, count=1)
    if TABLE_START in text:
        start, end = text.index(TABLE_START), text.index(TABLE_END) + len(TABLE_END)
        text = text[:start] + table(env) + text[end:]
    open(path, "w", encoding="utf-8").write(text)


def update(logs):
    summary = open(os.path.join(logs, "summary.txt"), encoding="utf-8").read()
    m = re.search(r"==== summary \(about (\d+) minutes, (\d+) MB in the tree\)", summary)
    if not m:
        sys.exit("figures: no summary line in %s" % logs)
    env = read_env() if os.path.exists(ENV) else {}
    env["TEST_MINUTES"] = m.group(1)
    env["TEST_DISK_GB"] = "%.1f" % (int(m.group(2)) / 1024)
    demo = os.path.join(logs, "demo-seconds")
    if os.path.exists(demo):
        env["DEMO_SECONDS"] = str(max(10, round(int(open(demo).read().strip()) / 10) * 10))
    for line in summary.splitlines():
        row = re.match(r"^(\S+)\s+(passed|FAILED)\s+(\d+) s\s*(.*)$", line)
        if row:
            env["PART_" + row.group(1).upper().replace("-", "_")] = "%s|%s" % (row.group(3), row.group(4))
    with open(ENV, "w", encoding="utf-8") as f:
        f.write("# SPDX-License-Identifier: MIT\n# Written by scripts/figures.py from the last fresh run of make test;\n"
                "# the README, docs/contributing.md and make test-plan state these.\n")
        for key in sorted(env):
            f.write("%s=%s\n" % (key, env[key]))
    for path in (README, CONTRIBUTING):
        rewrite(path, env)


def check():
    env = read_env()
    problems = []
    readme = open(README, encoding="utf-8").read()
    for key, pattern in README_FIGURES.items():
        m = re.search(pattern, readme)
        if not m or m.group(1) != env[key]:
            problems.append("README: %s is %s, figures.env says %s" % (key, m and m.group(1), env[key]))
    contributing = open(CONTRIBUTING, encoding="utf-8").read()
    if table(env) not in contributing:
        problems.append("docs/contributing.md: the table of parts is not the one figures.env makes")
    plan = subprocess.run(["make", "-s", "--no-print-directory", "-C", ROOT, "test-plan"], capture_output=True,
                          text=True).stdout
    m = re.search(r"about (\S+) minutes on two cores and about (\S+) GB", plan)
    if not m or (m.group(1), m.group(2)) != (env["TEST_MINUTES"], env["TEST_DISK_GB"]):
        problems.append("make test-plan says %r, figures.env %s minutes and %s GB"
                        % (m and m.group(0), env["TEST_MINUTES"], env["TEST_DISK_GB"]))
    for p in problems:
        print("figures: " + p)
    print("figures: the README, the contributors' table and make test-plan agree" if not problems else
          "figures: %d disagreement(s)" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["update"]:
        update(sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "test-logs"))
    elif sys.argv[1:2] == ["check"]:
        sys.exit(check())
    else:
        sys.exit(__doc__)
