#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""quillbar-preview --http stays available to everyone while some clients
hold it: connections that drip their heads, a long print job on --listen,
slow renders from one address, and an address over --http-rate. In each
row a normal request must be answered within a second: on a busy machine,
within four times what the same requests took on an idle service in the
same run, and under a sanitizer (--sanitized) three times that.

    http_availability.py PREVIEW [--sanitized]
"""
import http.client
import os
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import service  # noqa: E402

preview = sys.argv[1]
sanitized = "--sanitized" in sys.argv[2:]
work = tempfile.mkdtemp(prefix="qb-avail-")
failures = []
SAMPLE = b'N\nq400\nQ300,24\nA20,20,0,4,1,1,N,"Hello"\nP1\n'
LABELS = "/v1/printers/8dpmm/labels/4x6/"
# 140 labels two metres long, all black: about 3 s as a PDF, in 3 KB.
SLOW = b"q832\nQ16384,24\n" + b"N\nLO0,0,832,16384\nP1\n" * 140

# 500 connections and the service's own.
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))


def check(what, ok, detail=""):
    print(("ok    " if ok else "FAIL  ") + what + (f" ({detail})" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def timed(host, port, method, path, body=None, headers=None, source="127.0.0.1"):
    """A request from the source address: its status and seconds taken."""
    began = time.monotonic()
    connection = http.client.HTTPConnection(host, port, timeout=20, source_address=(source, 0))
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        response.read()
        return response.status, time.monotonic() - began, dict(response.getheaders())
    except (OSError, http.client.HTTPException) as error:
        return str(error), time.monotonic() - began, {}
    finally:
        connection.close()


def slowest_of(host, port, rounds, pause):
    """The statuses and the slowest time of a page and a render, several times."""
    slowest, statuses = 0.0, set()
    for _ in range(rounds):
        for method, path, body in (("GET", "/", None), ("POST", LABELS + "0/", SAMPLE)):
            status, took, _ = timed(host, port, method, path, body)
            statuses.add(status)
            slowest = max(slowest, took)
        time.sleep(pause)
    return statuses, slowest


bound = None  # seconds; set from the control below


def normal_requests(host, port, what, rounds=4, pause=0.4):
    """A page and a render, several times: each within the bound."""
    statuses, slowest = slowest_of(host, port, rounds, pause)
    check(f"{what}: normal requests answered within {bound:.1f} s (slowest {slowest:.2f} s)",
          statuses == {200} and slowest < bound, statuses)


def start(*extra, said=("http",)):
    process, addresses = service.start(preview, ["--http", "127.0.0.1:0", *extra], said=said)
    address = urllib.parse.urlparse(addresses["http"])
    return process, address.hostname, address.port, addresses


# The control: the same requests on an idle service, in this run.
server, host, port, _ = start()
try:
    statuses, control = slowest_of(host, port, 4, 0.1)
    check("the control's requests are answered", statuses == {200}, statuses)
    bound = max(1.0, 4 * control) * (3 if sanitized else 1)
    print(f"control: slowest {control:.3f} s; bound {bound:.1f} s")
finally:
    check("the service stops on SIGTERM", service.stop(server))

# Heads dripped a byte at a time, 500 connections from the normal
# client's own address: they are let go to make room, not waited on.
server, host, port, _ = start()
try:
    drippers, stop = [], threading.Event()
    for _ in range(500):
        s = socket.create_connection((host, port))
        s.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\nX-Slow: ")
        drippers.append(s)

    def drip():
        while not stop.is_set():
            for s in drippers:
                try:
                    s.send(b"x")
                except OSError:
                    pass
            time.sleep(0.2)
    dripping = threading.Thread(target=drip)
    dripping.start()
    normal_requests(host, port, "500 connections dripping their heads")
    room = service.metrics(host, port).get(("quillbar_http_refusals_total", (("reason", "connections"),)))
    check(f"/metrics: at least 372 let go to make room (128 from one address): {room}", room and room >= 372)
    stop.set()
    dripping.join()
    for s in drippers:
        s.close()
finally:
    check("the service stops on SIGTERM", service.stop(server))

# A head has a deadline that bytes do not push back: a connection that
# drips one is let go after 10 s, though the idle time is 30.
server, host, port, _ = start()
try:
    s = socket.create_connection((host, port))
    s.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n")
    began, closed = time.monotonic(), None
    while closed is None and time.monotonic() - began < 20:
        try:
            s.send(b"X-Slow: 1\r\n")
            s.settimeout(0.5)
            if s.recv(1) == b"":
                closed = time.monotonic() - began
        except socket.timeout:
            pass
        except OSError:
            closed = time.monotonic() - began
    s.close()
    check(f"a dripped head is let go at its deadline ({closed} s)", closed is not None and 9 <= closed <= 13)
    counted = service.metrics(host, port)
    check("/metrics: one let go past its deadline, none for room",
          counted.get(("quillbar_http_refusals_total", (("reason", "deadline"),))) == 1 and
          counted.get(("quillbar_http_refusals_total", (("reason", "connections"),))) == 0)
finally:
    check("the service stops on SIGTERM", service.stop(server))

# Six slow renders from one address: another address's request starts at
# once, on the worker no single client may take.
server, host, port, _ = start("--http-workers", "3")
try:
    slow = [threading.Thread(target=timed, args=(host, port, "POST", LABELS, SLOW, {"Accept": "application/pdf"},
                                                 "127.0.0.2")) for _ in range(6)]
    for t in slow:
        t.start()
    time.sleep(0.5)
    normal_requests(host, port, "six slow renders from another address", rounds=3)
    for t in slow:
        t.join(60)
finally:
    check("the service stops on SIGTERM", service.stop(server))

# A long print job on --listen: the page and the API answer while the
# printer works through it.
server, host, port, said = start("--listen", "127.0.0.1:0", "-o", os.path.join(work, "job.png"),
                                 said=("http", "listening"))
try:
    printer_host, _, printer_port = said["listening"].rpartition(":")
    # It says a line a label: read, so that the pipe never fills.
    threading.Thread(target=server.stdout.read, daemon=True).start()
    job = b"q832\nQ16384,24\n" + b"N\nLO0,0,832,16384\nP1\n" * 1000
    with socket.create_connection((printer_host, int(printer_port))) as printer:
        printer.sendall(job)
        normal_requests(host, port, "a long job on --listen")
        printed = len([name for name in os.listdir(work) if name.startswith("job")])
    check(f"the job was still printing meanwhile ({printed} of 1000 labels)", printed < 1000)
finally:
    # It prints the whole job it took before it stops: waited for while it
    # makes progress (how long the job takes depends on the build), never
    # for a fixed time.
    server.send_signal(signal.SIGTERM)
    printed, last_progress, code = -1, time.monotonic(), None
    while code is None and time.monotonic() - last_progress < 20:
        try:
            code = server.wait(1)
        except subprocess.TimeoutExpired:
            now_printed = len([name for name in os.listdir(work) if name.startswith("job")])
            if now_printed != printed:
                printed, last_progress = now_printed, time.monotonic()
    check(f"the service stops on SIGTERM once the job is printed ({printed} labels when last counted)", code == 0)

# --http-rate: an address over it is told when to come back; another is not
# held to it.
server, host, port, _ = start("--http-rate", "1")
try:
    first = timed(host, port, "POST", LABELS + "0/", SAMPLE)
    second = timed(host, port, "POST", LABELS + "0/", SAMPLE)
    other = timed(host, port, "POST", LABELS + "0/", SAMPLE, source="127.0.0.2")
    check("--http-rate 1: the first render is taken", first[0] == 200, first)
    check("--http-rate 1: the second at once is 429 with Retry-After",
          second[0] == 429 and second[2].get("Retry-After") == "1", second)
    check("--http-rate 1: another address is not held to it", other[0] == 200, other)
    time.sleep(1.1)
    again = timed(host, port, "POST", LABELS + "0/", SAMPLE)
    check("--http-rate 1: taken again after Retry-After", again[0] == 200, again)
    counted = service.metrics(host, port)
    check("/metrics: one 429, counted as a refusal for the rate",
          counted.get(("quillbar_http_requests_total", (("code", "429"),))) == 1 and
          counted.get(("quillbar_http_refusals_total", (("reason", "rate"),))) == 1)
finally:
    check("the service stops on SIGTERM", service.stop(server))

print(f"http availability: {len(failures)} failed")
sys.exit(1 if failures else 0)
