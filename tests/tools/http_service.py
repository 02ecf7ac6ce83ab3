#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""quillbar-preview --http, through a real HTTP client on loopback: round
trips against the command line's own output, the refusals, hostile streams
under a memory and time limit, and many clients at once beside a slow one.

    http_service.py PREVIEW [--sanitized]

A sanitizer reserves more address space than the limit: --sanitized runs
the hostile streams without it.
"""
import http.client
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hostile_streams import STREAMS as HOSTILE  # noqa: E402
import service  # noqa: E402

preview = sys.argv[1]
sanitized = "--sanitized" in sys.argv[2:]
work = tempfile.mkdtemp(prefix="qb-http-")
failures = []

SAMPLE = b'N\nq400\nQ300,24\nA20,20,0,4,1,1,N,"Hello"\nB20,80,0,1,2,6,100,B,"QB-1"\nLO20,230,360,4\nP1\n'
THREE = b'N\nq300\nQ200,24\nA10,10,0,3,1,1,N,"one"\nP1\nN\nA10,10,0,3,1,1,N,"two"\nP1\nN\nQ100,24\nP1\n'
NO_SIZE = b'N\nA10,10,0,3,1,1,N,"media"\nP1\n'  # takes the media in the path
PARTLY_BAD = b'N\nq300\nQ200,24\nA10,10,0,3,1,1,N,"ok"\nB10,60,0,99,2,4,80,B,"1"\nP1\n'


def at_limit(over, limit=8 << 20):
    """A stream of the body limit's size, plus over bytes, that renders
    quickly: most of it one graphic's data."""
    head, data, tail = b"N\nGW0,0,104,80000,", b"\xff" * 104 * 80000, b"\nLO0,0,8,8\nP1\n"
    return b"\n" * (limit + over - len(head) - len(data) - len(tail)) + head + data + tail


def check(what, ok, detail=""):
    print(("ok    " if ok else "FAIL  ") + what + (f" ({detail})" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def start(*extra, limit_memory=False, program=None):
    def limit():
        if limit_memory:
            resource.setrlimit(resource.RLIMIT_AS, (3 << 29, 3 << 29))
    process, said = service.start(program or preview, ["--http", "127.0.0.1:0", *extra], preexec_fn=limit)
    address = urllib.parse.urlparse(said["http"])
    return process, address.hostname, address.port


def stop(process):
    check("the service stops on SIGTERM", service.stop(process))


def request(host, port, method, path, body=None, headers=None, timeout=30):
    connection = http.client.HTTPConnection(host, port, timeout=timeout)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


def answers_to(host, port, sent):
    """Sends bytes as they are; every answer, read in turn by the HTTP client
    until the connection ends: [(status, Content-Type, body)]."""
    class Kept:  # one buffered reader for every answer, which they do not close
        def __init__(self, reader):
            self.reader = reader

        def makefile(self, *_):
            return self

        def __getattr__(self, name):
            return getattr(self.reader, name)

        def close(self):
            pass
    with socket.create_connection((host, port), timeout=10) as raw:
        raw.sendall(sent)
        reader, answers = Kept(raw.makefile("rb")), []
        while reader.peek(1):
            response = http.client.HTTPResponse(reader)
            response.begin()
            answers.append((response.status, response.getheader("Content-Type", ""), response.read()))
        return answers


def cli_pngs(stream, dpmm, media="4x6"):
    """The command line's labels for the stream, in order."""
    folder = tempfile.mkdtemp(dir=work)
    path = os.path.join(folder, "stream.epl")
    with open(path, "wb") as f:
        f.write(stream)
    subprocess.run([preview, "--dpmm", str(dpmm), "--media", media, "-o", os.path.join(folder, "l-%03d.png"), path],
                   capture_output=True)
    return [open(os.path.join(folder, n), "rb").read() for n in sorted(os.listdir(folder)) if n.startswith("l-")]


def png_size(png):
    return int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")


def gray_pixels(png):
    """Rows of an 8-bit grayscale PNG as this service writes it (filters
    None and Up only)."""
    import zlib
    width, height = png_size(png)
    data, at = b"", 8
    while at < len(png):
        length, kind = int.from_bytes(png[at:at + 4], "big"), png[at + 4:at + 8]
        if kind == b"IDAT":
            data += png[at + 8:at + 8 + length]
        at += 12 + length
    raw, rows, previous = zlib.decompress(data), [], bytes(width)
    for y in range(height):
        kind, row = raw[y * (width + 1)], raw[y * (width + 1) + 1:(y + 1) * (width + 1)]
        row = bytes((a + b) & 0xFF for a, b in zip(row, previous)) if kind == 2 else row
        rows.append(row)
        previous = row
    return rows


def pdf_pages(pdf):
    path = os.path.join(work, "labels.pdf")
    with open(path, "wb") as f:
        f.write(pdf)
    info = subprocess.run(["pdfinfo", "-l", "99", path], capture_output=True, text=True).stdout
    return [line.split(":", 1)[1].split("pts")[0].strip() for line in info.splitlines()
            if line.startswith("Page") and "size" in line]


server, host, port = start()
try:
    # Round trips: every label byte for byte as the command line draws it,
    # the PDF a page a label at its size, the report agreeing.
    for name, stream, dpmm, media in (("sample", SAMPLE, 8, "4x6"), ("three labels", THREE, 8, "4x6"),
                                      ("three at 12 dpmm", THREE, 12, "4x6"), ("the path's media", NO_SIZE, 8, "2x1"),
                                      ("partly rejected", PARTLY_BAD, 8, "4x6")):
        base = f"/v1/printers/{dpmm}dpmm/labels/{media}/"
        expected = cli_pngs(stream, dpmm, media)
        got = []
        for index in range(len(expected)):
            status, headers, body = request(host, port, "POST", f"{base}{index}/", stream)
            got.append(body if status == 200 else None)
            if index == 0:
                check(f"{name}: X-Total-Count", headers.get("X-Total-Count") == str(len(expected)), headers)
                check(f"{name}: X-Warnings only for the bad line",
                      ("X-Warnings" in headers) == (stream is PARTLY_BAD), headers.get("X-Warnings"))
        check(f"{name}: {len(expected)} PNGs byte for byte as the command line's", got == expected and expected)
        status, headers, body = request(host, port, "GET", base + "0/" + urllib.parse.quote(stream, safe=""))
        check(f"{name}: GET with the stream in the path", status == 200 and body == expected[0], status)
        status, headers, body = request(host, port, "POST", base, stream, {"Accept": "application/pdf"})
        pages = pdf_pages(body) if status == 200 else []
        # Each page the label's size at the head's true resolution: 300 dpi
        # at 12 dots/mm, 203.2 at 8.
        dpi = 300 if dpmm == 12 else 203.2
        sizes = [(w * 72 / dpi, h * 72 / dpi) for w, h in (png_size(png) for png in expected)]
        got = [tuple(float(n) for n in page.split(" x ")) for page in pages]
        check(f"{name}: a PDF page a label, each at its size", status == 200 and len(got) == len(sizes) and all(
            abs(a - b) < 0.01 for page, size in zip(got, sizes) for a, b in zip(page, size)), (got, sizes))
        status, headers, body = request(host, port, "POST", base, stream, {"Accept": "application/json"})
        report = json.loads(body)
        check(f"{name}: the JSON report counts the labels",
              len(report["labels"]) == len(expected) == int(headers["X-Total-Count"]))
        if stream is PARTLY_BAD:
            d = report["diagnostics"][0]
            check("the report gives the bad line's number and command", (d["line"], d["command"]) == (5, "B"), d)
    status, headers, body = request(host, port, "POST", "/v1/printers/8dpmm/labels/4x6/", SAMPLE,
                                    {"Accept": "application/pdf"})
    check("the sample's PDF page is 400 x 300 dots at 203 dpi", pdf_pages(body) == ["141.732 x 106.299"],
          pdf_pages(body))
    # A file part of a multipart body, and a form-encoded body taken as it is.
    status, _, body = request(host, port, "POST", "/v1/printers/8dpmm/labels/4x6/0/",
                              b"--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"s.epl\"\r\n"
                              b"Content-Type: application/octet-stream\r\n\r\n" + SAMPLE + b"\r\n--XyZ--\r\n",
                              {"Content-Type": "multipart/form-data; boundary=XyZ"})
    check("a multipart file part", status == 200 and body == cli_pngs(SAMPLE, 8)[0], status)
    status, _, body = request(host, port, "POST", "/v1/printers/8dpmm/labels/4x6/0/", SAMPLE,
                              {"Content-Type": "application/x-www-form-urlencoded"})
    check("a form-encoded body is the stream as it is", status == 200 and body == cli_pngs(SAMPLE, 8)[0], status)

    # The warnings: as many whole as fit in the header, the rest counted;
    # none with the linter off.
    many_bad = b"N\n" + b"Z1,2,3\n" * 500 + b"P1\n"
    for what, stream, linter, listed, omitted in (
        ("one bad line", PARTLY_BAD, None, 1, None),
        ("one bad line, linter on", PARTLY_BAD, "On", 1, None),
        ("one bad line, linter off", PARTLY_BAD, "off", 0, None),
        ("500 bad lines", many_bad, None, None, True),
        ("500 bad lines, linter off", many_bad, "Off", 0, None),
    ):
        status, headers, _ = request(host, port, "POST", "/v1/printers/8dpmm/labels/4x6/0/", stream,
                                     {"X-Linter": linter} if linter else {})
        shown = headers.get("X-Warnings", "")
        count = (shown.count("|") + 1) // 5 if shown else 0
        left = int(headers.get("X-Warnings-Omitted", "0"))
        check(f"{what}: warnings in the header and counted",
              status == 200 and (listed is None or count == listed) and
              (left + count == 500 and 0 < left if omitted else left == 0) and len(shown) <= 4000,
              (status, count, left))

    # Keep-alive: requests after each other on one connection.
    connection = http.client.HTTPConnection(host, port, timeout=30)
    statuses = []
    for _ in range(3):
        connection.request("POST", "/v1/printers/8dpmm/labels/4x6/0/", SAMPLE)
        response = connection.getresponse()
        response.read()
        statuses.append(response.status)
    check("three requests on one kept-alive connection", statuses == [200] * 3 and connection.sock is not None)
    connection.close()

    # The label viewers' options: the picture turned clockwise, its pixels'
    # depth, and labels laid out on sheets.
    def png_of(headers, stream=SAMPLE):
        status, _, body = request(host, port, "POST", "/v1/printers/8dpmm/labels/4x6/0/", stream, headers)
        return body if status == 200 else b""
    upright = gray_pixels(png_of({"X-Quality": "Grayscale"}))
    clockwise = {0: upright, 90: [bytes(col) for col in zip(*upright[::-1])],
                 180: [row[::-1] for row in upright[::-1]], 270: [bytes(col) for col in zip(*upright)][::-1]}
    for degrees, expected in clockwise.items():
        got = gray_pixels(png_of({"X-Quality": "Grayscale", "X-Rotation": str(degrees)}))
        check(f"X-Rotation {degrees}: the label turned clockwise", got == expected)
    for quality, depth in ((None, 1), ("Bitonal", 1), ("grayscale", 8)):
        png = png_of({"X-Quality": quality} if quality else {})
        check(f"X-Quality {quality}: {depth} bit(s) a pixel", len(png) > 24 and png[24] == depth)
    a4, a6 = "595.276 x 841.89", "297.638 x 419.528"
    for what, options, stream, pages in (
        ("A4, a label a page", {"X-Page-Size": "A4"}, THREE, [a4] * 3),
        ("A4 landscape", {"X-Page-Size": "a4", "X-Page-Orientation": "Landscape"}, THREE, ["841.89 x 595.276"] * 3),
        ("Letter, 2 x 2 a page", {"X-Page-Size": "Letter", "X-Page-Layout": "2x2"}, THREE, ["612 x 792"]),
        ("A6, 1 x 2 a page, justified with borders", {"X-Page-Size": "A6", "X-Page-Layout": "1x2", "X-Page-Align":
         "Justify", "X-Page-Vertical-Align": "Justify", "X-Label-Border": "Dashed"}, THREE, [a6] * 2),
        ("4 x 6 inches, A5 landscape's neighbour", {"X-Page-Size": "4x6"}, SAMPLE, ["288 x 432"]),
    ):
        status, _, body = request(host, port, "POST", "/v1/printers/8dpmm/labels/4x6/", stream,
                                  {"Accept": "application/pdf", **options})
        got = pdf_pages(body) if status == 200 else [status]
        check(f"PDF pages, {what}: {pages}", got == pages, got)

    # Refusals, each with its reason, and host names that are this machine's.
    labels = "/v1/printers/8dpmm/labels/4x6/"
    refusals = (
        ("density 9", "POST", "/v1/printers/9dpmm/labels/4x6/", SAMPLE, {}, 400),
        ("size 4 by nothing", "POST", "/v1/printers/8dpmm/labels/4x/", SAMPLE, {}, 400),
        ("a label larger than any", "POST", "/v1/printers/8dpmm/labels/40x6/", SAMPLE, {}, 400),
        ("index -1", "POST", labels + "-1/", SAMPLE, {}, 400),
        ("a broken escape", "GET", labels + "0/N%0AP%1", None, {}, 400),
        ("index past the last label", "POST", labels + "3/", THREE, {}, 404),
        ("a stream that prints nothing", "POST", labels, b"N\n", {}, 404),
        ("no such path", "GET", "/v2/", None, {}, 404),
        ("a name that is not this machine's (DNS rebinding)", "GET", "/", None, {"Host": "evil.example:80"}, 421),
        ("a name that only ends like this machine's", "GET", "/", None, {"Host": "evil-localhost"}, 421),
        ("this machine's name in capitals", "GET", "/", None, {"Host": "LOCALHOST"}, 200),
        ("this machine's name with the root's dot", "GET", "/", None, {"Host": "localhost.:80"}, 200),
        ("PUT", "PUT", labels, SAMPLE, {}, 405),
        ("POST to the page", "POST", "/", SAMPLE, {}, 405),
        ("Accept: text/html only", "POST", labels, SAMPLE, {"Accept": "text/html"}, 406),
        ("over the body limit", "POST", labels, b"N\n" * (4 << 20) + b"P1\n", {}, 413),
        # A limit has two sides: exactly the limit is taken, a byte more is not.
        ("the body limit exactly", "POST", labels, at_limit(0), {}, 200),
        ("a byte over the body limit", "POST", labels, at_limit(1), {}, 413),
        ("the health answer", "GET", "/healthz", None, {}, 200),
        ("POST to the health answer", "POST", "/healthz", b"x", {}, 405),
        ("an image body", "POST", labels, SAMPLE, {"Content-Type": "image/png"}, 415),
        ("X-Linter: maybe", "POST", labels, SAMPLE, {"X-Linter": "maybe"}, 400),
        ("X-Rotation: 45", "POST", labels, SAMPLE, {"X-Rotation": "45"}, 400),
        ("X-Quality: sepia", "POST", labels, SAMPLE, {"X-Quality": "sepia"}, 400),
        ("X-Page-Size: B5", "POST", labels, SAMPLE, {"X-Page-Size": "B5"}, 400),
        ("X-Page-Layout: 0x2", "POST", labels, SAMPLE, {"X-Page-Size": "A4", "X-Page-Layout": "0x2"}, 400),
        ("X-Page-Layout without a page size", "POST", labels, SAMPLE, {"X-Page-Layout": "2x2"}, 400),
    )
    before = service.metrics(host, port)
    for what, method, path, body, headers, expected in refusals:
        status, headers, answer = request(host, port, method, path, body, headers)
        check(f"{what}: {expected}", status == expected and (status == 405 or answer.strip()), (status, answer[:80]))
        if expected == 405:
            check(f"{what}: Allow says what is", "GET" in headers.get("Allow", ""), headers)
    # /metrics counts each answer by its status, and the 413s as refusals.
    after = service.metrics(host, port)
    for code in sorted({row[-1] for row in refusals} - {200}):
        counted = sum(m.get(("quillbar_http_requests_total", (("code", str(code)),)), 0) * sign
                      for m, sign in ((after, 1), (before, -1)))
        wanted = sum(row[-1] == code for row in refusals)
        check(f"/metrics: {wanted} answered {code}", counted == wanted, counted)
    too_large = ("quillbar_http_refusals_total", (("reason", "too_large"),))
    check("/metrics: the 413s are refusals", after[too_large] - before[too_large] == 2)
    renders = ("quillbar_render_seconds_count", ())
    # Past the last label, nothing printed, and the body limit exactly.
    check("/metrics: the three renders among them timed", after[renders] - before[renders] == 3,
          after[renders] - before[renders])

    # HTTP/1.1 names its host exactly once; HTTP/1.0 may leave it out. A
    # request that is not well-formed HTTP is answered in plain text, with
    # one status line, after the answers to what came before it.
    ok, close = b"GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n", b"Connection: close\r\n\r\n"
    post = b"POST " + labels.encode() + b" HTTP/1.1\r\nHost: localhost\r\n"
    before = service.metrics(host, port)
    malformed = 0
    for what, sent, expected in (
        ("HTTP/1.1 without Host", b"GET / HTTP/1.1\r\n" + close, [400]),
        ("two Host lines", b"GET / HTTP/1.1\r\nHost: localhost\r\nHost: localhost\r\n" + close, [400]),
        ("HTTP/1.0 without Host", b"GET / HTTP/1.0\r\n" + close, [200]),
        ("a path of 120 KB, under the head limit", b"GET /" + b"a" * (120 << 10) + b" HTTP/1.1\r\nHost: localhost\r\n"
         + close, [404]),
        ("a path of 200 KB", b"GET /" + b"a" * (200 << 10) + b" HTTP/1.1\r\nHost: localhost\r\n" + close, [414]),
        ("a head of 200 KB", b"GET / HTTP/1.1\r\nHost: localhost\r\nX-Big: " + b"a" * (200 << 10) + b"\r\n" + close,
         [431]),
        ("Content-Length: 12x", post + b"Content-Length: 12x\r\n" + close + b"N\nP1\n", [400]),
        ("two Content-Lengths", post + b"Content-Length: 5\r\nContent-Length: 6\r\n" + close + b"N\nP1\n", [400]),
        ("a chunk size that is not hex", post + b"Transfer-Encoding: chunked\r\n" + close + b"zz\r\nN\n", [400]),
        ("Transfer-Encoding: gzip", post + b"Transfer-Encoding: gzip\r\n" + close + b"N\n", [400]),
        ("HTTP/3.0", b"GET / HTTP/3.0\r\nHost: localhost\r\n" + close, [505]),
        ("a field without a colon", b"GET / HTTP/1.1\r\nHost localhost\r\n" + close, [400]),
        ("a method HTTP does not have", b"FETCH / HTTP/1.1\r\nHost: localhost\r\n" + close, [501]),
        ("a good request, then a bad Content-Length", ok + post + b"Content-Length: -1\r\n" + close, [200, 400]),
        ("a good request, then a broken chunk", ok + post + b"Transfer-Encoding: chunked\r\n" + close + b"3\r\nN\nPxx\r\n",
         [200, 400]),
    ):
        answers = answers_to(host, port, sent)
        last = answers[-1] if answers else (0, "", b"")
        # The service's own refusals (Host) are not the front door's.
        malformed += expected[-1] not in (200, 404) and "Host" not in what
        check(f"{what}: {expected}, a refusal in plain text", [a[0] for a in answers] == expected and (
            last[0] < 400 or (last[1].startswith("text/plain") and last[2].strip() and b"<" not in last[2])),
            [a[:2] for a in answers])
    key = ("quillbar_http_refusals_total", (("reason", "malformed"),))
    counted = service.metrics(host, port)[key] - before[key]
    check(f"/metrics: {malformed} refused as not HTTP", counted == malformed, counted)

    # A client that sends its whole body before it reads (a form upload)
    # still gets the refusal and its reason, not a closed connection.
    body = b"N\n" * (1 << 20)
    for what, head, expected in (
        ("density 9", b"POST /v1/printers/9dpmm/labels/4x6/ HTTP/1.1\r\nHost: localhost\r\n", 400),
        ("Accept: text/html only", b"POST " + labels.encode() + b" HTTP/1.1\r\nHost: localhost\r\nAccept: text/html\r\n",
         406),
        ("an image body", b"POST " + labels.encode() + b" HTTP/1.1\r\nHost: localhost\r\nContent-Type: image/png\r\n",
         415),
        ("not this machine's name", b"POST " + labels.encode() + b" HTTP/1.1\r\nHost: evil.example\r\n", 421),
    ):
        with socket.create_connection((host, port), timeout=10) as raw:
            answer = b""
            try:
                raw.sendall(head + b"Connection: close\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
                while chunk := raw.recv(65536):
                    answer += chunk
            except OSError as error:
                answer = str(error).encode()
        check(f"{what}, after a whole body of 2 MB: {expected} with its reason",
              answer.startswith(b"HTTP/1.1 %d " % expected) and answer.split(b"\r\n\r\n", 1)[-1].strip(),
              answer[:60])

    # Over the limit in chunks (no Content-Length): read, dropped, refused.
    def chunks():
        for _ in range(9):
            yield b"N\n" * (1 << 19)
    connection = http.client.HTTPConnection(host, port, timeout=30)
    connection.request("POST", labels, body=chunks(), encode_chunked=True)
    check("a chunked body over the limit: 413", connection.getresponse().status == 413)
    connection.close()

    # 50 clients at once, beside one that sends a byte a second.
    slow = socket.create_connection((host, port))
    slow.sendall(b"POST " + labels.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\nN")
    results = []

    def client(n):
        stream = THREE[:-len(b"N\nQ100,24\nP1\n")] if n % 2 else SAMPLE
        status, headers, _ = request(host, port, "POST", labels + "0/", stream)
        results.append((status, headers.get("X-Total-Count"), "2" if n % 2 else "1"))
    began = time.monotonic()
    threads = [threading.Thread(target=client, args=(n,)) for n in range(50)]
    for t in threads:
        t.start()
    for second in range(3):
        slow.sendall(b"\n")
        time.sleep(1)
    for t in threads:
        t.join(30)
    took = time.monotonic() - began
    check("50 clients at once, each its labels", len(results) == 50 and all(
        s == 200 and got == want for s, got, want in results), results[:3])
    check(f"a slow client held nobody up ({took:.1f} s, its 3 s of bytes included)", took < 15)
    slow.close()
finally:
    stop(server)

# Hostile streams through the service: under a 1.5 GB address-space limit,
# each answered within 25 s, and the service still serving afterwards.
server, host, port = start("--http-workers", "1", limit_memory=not sanitized)
try:
    for name, stream, _ in HOSTILE:
        if len(stream) > 8 << 20:
            continue
        began = time.monotonic()
        try:
            status, _, body = request(host, port, "POST", "/v1/printers/8dpmm/labels/4x6/", stream,
                                      {"Accept": "application/json"}, timeout=60 if sanitized else 25)
        except (OSError, http.client.HTTPException) as error:
            status, body = str(error), b""
        check(f"hostile: {name}: answered in {time.monotonic() - began:.1f} s",
              status in (200, 404, 422) and server.poll() is None, status)
    status, _, _ = request(host, port, "POST", "/v1/printers/8dpmm/labels/4x6/0/", SAMPLE)
    check("the service still renders after them", status == 200)
finally:
    stop(server)

# Alone, without quillbar-preview-web beside it, quillbar-preview serves
# all the same but has no /metrics, and says so.
alone = os.path.join(work, "alone")
os.mkdir(alone)
shutil.copy(preview, alone)
server, host, port = start(program=os.path.join(alone, os.path.basename(preview)))
try:
    status, _, answer = request(host, port, "GET", "/metrics", headers={"Host": "localhost"})
    check("alone: /metrics is 404 and names the web program", status == 404 and b"quillbar-preview-web" in answer,
          (status, answer))
    status, _, _ = request(host, port, "POST", "/v1/printers/8dpmm/labels/4x6/0/", SAMPLE)
    check("alone: it renders", status == 200)
finally:
    server.send_signal(signal.SIGTERM)
    check("alone: it said it serves without /metrics",
          server.wait(10) == 0 and "serving without /metrics" in server.stderr.read())

# The printer panel's feed: a page that comes back names the last event it
# had; an id the feed never gave starts it over instead of losing events.
server, addresses = service.start(preview, ["--http", "127.0.0.1:0", "--listen", "127.0.0.1:0", "-o",
                                            os.path.join(work, "printed.png")], said=("http", "listening"))
try:
    feed = urllib.parse.urlparse(addresses["http"])
    printer_host, _, printer_port = addresses["listening"].rpartition(":")
    with socket.create_connection((printer_host, int(printer_port))) as job:
        job.sendall(SAMPLE + PARTLY_BAD)

    def first_event(had, wanted=None, data=None):
        # Shorter than the feed's 15 s heartbeat: an event that never comes
        # ends the wait.
        connection = http.client.HTTPConnection(feed.hostname, feed.port, timeout=10)
        try:
            connection.request("GET", "/v1/printer/events", headers={"Last-Event-ID": had} if had is not None else {})
            stream = connection.getresponse()
            line = b""
            while not line.startswith(b"id: ") or (wanted and line.strip() != wanted):
                line = stream.readline()
                if not line:
                    break
            if data is not None:
                stream.readline()  # event: label
                data.update(json.loads(stream.readline().decode().removeprefix("data: ")))
            return line.strip()
        except OSError as error:
            return str(error).encode()
        finally:
            connection.close()
    second = {}
    check("both labels are in the feed", first_event(None, b"id: 2", second) == b"id: 2")
    printed = service.metrics(feed.hostname, feed.port).get(("quillbar_labels_printed_total", ()))
    check(f"/metrics: 2 labels printed ({printed})", printed == 2)
    check("the second label's event: its job's stream and the bad line counted in the job",
          second.get("stream", "").encode() == SAMPLE + PARTLY_BAD and
          [(d["line"], d["command"]) for d in second.get("diagnostics", [])] == [(12, "B")],
          {k: second.get(k) for k in ("diagnostics", "stream_cut")})
    for had, first in (("1", 2), ("5", 1), ("9223372036854775807", 1), ("99999999999999999999", 1), ("-5", 1),
                       ("one", 1), ("", 1)):
        check(f"Last-Event-ID {had or 'empty'}: the feed goes on at event {first}",
              first_event(had) == b"id: %d" % first)
finally:
    server.send_signal(signal.SIGTERM)
    check("the service stops on SIGTERM, 2 for the job's bad line", server.wait(10) == 2)

print(f"http service: {len(failures)} failed")
sys.exit(1 if failures else 0)
