#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""quillbar-preview on the sockets a service manager passes, as the
systemd units in the tools package run it: through systemd-socket-activate
(no running systemd needed), the units themselves checked with
systemd-analyze.

    socket_activation.py PREVIEW UNITS_DIR SERVICE_FILE
"""
import http.client
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

preview, units, service_file = sys.argv[1:4]
# A sanitizer's build starts and answers more slowly: its waits are longer.
SLOW = 3 if "--sanitized" in sys.argv[4:] else 1
work = tempfile.mkdtemp(prefix="qb-units-")
failures = []


def check(what, ok, detail=""):
    print(("ok    " if ok else "FAIL  ") + what + (f" ({detail})" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def free_ports(n):
    sockets = [socket.socket() for _ in range(n)]
    for s in sockets:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


# The units as installed, the program's path made this build's.
for name in ("quillbar-preview-http.socket", "quillbar-preview-printer.socket"):
    shutil.copy(os.path.join(units, name), work)
with open(service_file) as f, open(os.path.join(work, "quillbar-preview.service"), "w") as out:
    text = f.read()
    out.write(text.replace(text.split("ExecStart=")[1].split()[0], os.path.abspath(preview)))
verify = subprocess.run(["systemd-analyze", "verify", "--man=no"] + [os.path.join(work, n) for n in sorted(os.listdir(
    work))], capture_output=True, text=True)
check("systemd-analyze verify: the units are sound", verify.returncode == 0, verify.stderr.strip())
exec_start = text.split("ExecStart=")[1].splitlines()[0].split()[1:]

# Both sockets passed by name, as the units pass them; the label printed
# on the printer's socket is in the web page's feed.
http_port, printer_port = free_ports(2)
arguments = [a.replace("%S", work).replace("%%", "%") for a in exec_start]
activated = subprocess.Popen(["systemd-socket-activate", "-l", f"127.0.0.1:{http_port}", "-l",
                              f"127.0.0.1:{printer_port}", "--fdname=http:printer", preview, *arguments],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
try:
    # It says where it listens once it does.
    said = [activated.stderr.readline() for _ in range(2)]
    os.makedirs(os.path.join(work, "quillbar-preview"), exist_ok=True)
    connection = http.client.HTTPConnection("127.0.0.1", http_port, timeout=10 * SLOW)
    connection.request("GET", "/healthz")
    answer = connection.getresponse()
    check("the web side answers on the socket passed as http", answer.status == 200 and answer.read().startswith(b"ok"))
    connection.request("GET", "/v1/printer/events")
    events = connection.getresponse()
    with socket.create_connection(("127.0.0.1", printer_port)) as job:
        job.sendall(b"N\nq200\nQ100,24\nLO0,0,50,50\nP1\n")
    lines = []
    while b"event: label\n" not in lines and len(lines) < 20:
        lines.append(events.readline())
    check("a job on the socket passed as printer is in the page's feed", b"event: label\n" in lines, lines)
    connection.close()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not os.listdir(os.path.join(work, "quillbar-preview")):
        time.sleep(0.1)
    check("its label is written where the unit says", os.listdir(os.path.join(work, "quillbar-preview")) ==
          ["label-000001.png"], os.listdir(os.path.join(work, "quillbar-preview")))
finally:
    activated.send_signal(signal.SIGTERM)
    check("it stops on SIGTERM", activated.wait(10 * SLOW) == 0, activated.stderr.read())

# Asked for passed sockets that are not there: a clear refusal.
for what, args, env in (("no socket passed", ["--http", "systemd"], {}),
                        ("no socket named printer", ["--listen", "systemd"], {"LISTEN_FDS": "0"})):
    run = subprocess.run([preview, *args], capture_output=True, text=True, timeout=10 * SLOW,
                         env={**os.environ, **env, "LISTEN_PID": str(os.getpid())})
    check(f"{what}: exit 1 with the reason", run.returncode == 1 and "systemd" in run.stderr, run.stderr)

print(f"socket activation: {len(failures)} failed")
sys.exit(1 if failures else 0)
