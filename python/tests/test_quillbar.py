# SPDX-License-Identifier: MIT
"""The Python module against the real library, with a pseudo-terminal as the
printer on COM1 and files as the printer on LPT1."""
import gc
import json
import os
import re
import select
import subprocess
import sys
import threading

import pytest

import quillbar


@pytest.fixture
def pty():
    master, slave = os.openpty()
    name = os.ttyname(slave)
    yield master, name
    os.close(slave)
    os.close(master)


def drain(master, quiet=0.2):
    out = b""
    while select.select([master], [], [], quiet)[0]:
        out += os.read(master, 65536)
    return out


def test_versions_agree():
    assert quillbar.library_version() == quillbar.__version__
    expected = os.environ.get("QUILLBAR_EXPECTED_VERSION")
    if expected:
        assert quillbar.__version__ == expected


def test_a_label_through_com1(pty):
    master, name = pty
    with quillbar.Printer(name, baud=19200) as p:
        p.set_initialize(2, 10, 1)
        p.set_paper_size(0, 50, 30, 3)
        p.set_clear()
        p.print_character(1, 2, 0, 3, 1, 1, 0, "HELLO")
        p.print_barcode(1, 10, 0, 1, 2, 6, 50, 1, b"QB-1")
        p.send_command("OD")
        p.send_bytes(b"\x00\xff")
        p.print_chinese_str(0, 0, 1, 0, 1, 0, "中")
        p.print(1)
    wire = drain(master)
    assert wire.startswith(
        b'S2\nD10\nJB\nq400\nQ240,24\nN\nA8,16,0,3,1,1,N,"HELLO"\nB8,80,0,1,2,6,50,B,"QB-1"\nOD\n\x00\xffGW0,0,4,24,'
    )
    assert wire.endswith(b"\nP1\n")


@pytest.mark.parametrize(
    "call, code, message",
    [
        (lambda p: p.set_darkness(99), quillbar.ERR_PARAMETER, "darkness 99 is outside 0..15"),
        (lambda p: p.send_command("N\nP9"), quillbar.ERR_PARAMETER, "the command line holds a line end (CR or LF)"),
        (lambda p: p.print_chinese_str(0, 0, 0, 0, 4, 0, "中" * 14), quillbar.ERR_PARAMETER,
         "text too long: at most 26 bytes at size 4"),
    ],
)
def test_failures_raise_error_with_code_and_message(tmp_path, call, code, message):
    capture = tmp_path / "capture.epl"
    capture.write_bytes(b"")
    with quillbar.Printer(capture, port=quillbar.LPT1) as p:
        with pytest.raises(quillbar.Error) as raised:
            call(p)
        assert p.get_last_error_code() == code
        assert p.get_last_error_message() == message
    assert raised.value.code == code
    assert raised.value.message == message
    assert capture.read_bytes() == b""


def test_open_failure_names_the_device(tmp_path):
    missing = tmp_path / "ttyUSB9"
    with pytest.raises(quillbar.Error) as raised:
        with quillbar.Printer(missing):
            pass
    assert raised.value.code == quillbar.ERR_PORT_OPEN
    assert raised.value.message == "cannot open %s: No such file or directory" % missing


def test_stored_picture_shows_its_stages(tmp_path):
    capture = tmp_path / "capture.epl"
    capture.write_bytes(b"")
    logo = tmp_path / "logo.pcx"
    logo.write_bytes(b"PCX")
    shown = []
    with quillbar.Printer(capture, port=quillbar.LPT2) as p:
        p.set_message_handler(shown.append)
        p.down_picture(logo, "LOGO")
        p.set_message_handler(None)
        p.print_mem_graphics(1, 1, "LOGO")
        p.delete_mem_graphics("LOGO")
        with pytest.raises(quillbar.Error) as raised:
            p.down_picture(tmp_path / "missing.pcx", "LOGO")
        # The library's own reason, passed on.
        assert raised.value.message.startswith("cannot read the picture ")
        assert "No such file" in raised.value.message
    assert shown == [str(logo), "filelengh:0--3", "PCX", 'GK"LOGO"\n', 'GM"LOGO"3\n']
    assert capture.read_bytes() == b'GK"LOGO"\nGM"LOGO"3\nPCXGG8,8,"LOGO"\nGK"LOGO"\nGK"LOGO"\n'


def snake(name):
    special = {"Print2DBarcode": "print_2d_barcode", "SetPrintXY": "set_print_xy"}
    return special.get(name) or "".join("_" + c.lower() if c.isupper() else c for c in name).lstrip("_")


def test_the_declarations_are_what_the_generator_writes(tmp_path):
    """python/quillbar/_native.py is generated like C#'s and Node's: kept in
    the tree, as the module runs from it, and never edited by hand."""
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.join(here, "..", "..")
    subprocess.run([sys.executable, os.path.join(root, "bindings", "generate.py"), root, str(tmp_path), "0"],
                   check=True)
    kept = open(os.path.join(root, "python", "quillbar", "_native.py"), encoding="utf-8").read()
    assert kept == (tmp_path / "python" / "_native.py").read_text(encoding="utf-8"), \
        "python/quillbar/_native.py is not what bindings/generate.py writes: run it and copy python/_native.py"


def test_the_bindings_follow_the_one_list_of_exports():
    here = os.path.dirname(os.path.abspath(__file__))
    listed = open(os.path.join(here, "..", "..", "src", "operations.def")).read()
    operations = re.findall(r"^QB_OPERATION(?:0|_UNLOCKED)?\((\w+)", listed, re.M)
    own = ["QB_" + n for n in re.findall(r"^QB_EXPORT\((\w+)", listed, re.M)]
    assert sorted(quillbar._OPERATIONS) == sorted(operations)
    assert sorted(quillbar._EXPORTS) == sorted(own)
    for name in operations:
        assert hasattr(quillbar.Printer, snake(name)), snake(name)


def test_handler_text_and_reasons_of_the_bindings_calls_table(tmp_path):
    """The handler's text and the reasons with a non-ASCII path, as C, C# and Node.js read them."""
    here = os.path.dirname(os.path.abspath(__file__))
    table = json.load(open(os.path.join(here, "..", "..", "bindings", "calls.json"), encoding="utf-8"))
    assert len(table["messages"]) >= 2
    for i, row in enumerate(table["messages"]):
        folder = tmp_path / ("row%d" % i)
        picture = folder / row["picture"]
        picture.parent.mkdir(parents=True)
        if "content" in row:
            picture.write_bytes(row["content"].encode("latin-1"))
        (folder / "out.epl").write_bytes(b"")
        shown = []
        with quillbar.Printer(folder / "out.epl", baud=0) as p:
            p.set_message_handler(shown.append)
            try:
                p.down_picture(picture, row["name"])
                reason = None
            except quillbar.Error as e:
                reason = e.message
        assert shown == [text.replace("{picture}", str(picture)) for text in row["shown"]], i
        if "reason_has" in row:
            assert reason is not None and row["reason_has"].replace("{picture}", str(picture)) in reason, (i, reason)
        else:
            assert reason is None, (i, reason)


def test_every_row_of_the_bindings_calls_table(tmp_path):
    """The table the C, C# and Node.js bindings are checked against."""
    here = os.path.dirname(os.path.abspath(__file__))
    table = json.load(open(os.path.join(here, "..", "..", "bindings", "calls.json"), encoding="utf-8"))
    assert len(table["calls"]) > 20
    for i, row in enumerate(table["calls"]):
        capture = tmp_path / ("row%d.epl" % i)
        capture.write_bytes(b"")
        code = 0
        with quillbar.Printer(capture, baud=0) as p:
            try:
                getattr(p, snake(row["call"]))(*row["args"])
            except quillbar.Error as e:
                code = e.code
        sent = capture.read_bytes()
        if "error" in row:
            assert (code, sent) == (row["error"], b""), row
        elif "bytes_prefix" in row:
            assert code == 0 and sent.startswith(row["bytes_prefix"].encode("latin-1")), row
            assert len(sent) == row["bytes_length"], row
        else:
            assert (code, sent) == (0, row["bytes"].encode("latin-1")), row


def test_status_names_follow_the_one_list_of_codes():
    here = os.path.dirname(os.path.abspath(__file__))
    listed = open(os.path.join(here, "..", "..", "src", "status_codes.def")).read()
    codes = {name: int(code) for code, name in re.findall(r"^QB_STATUS\((-?\d+), (\w+),", listed, re.M)}
    assert {s.name: s.value for s in quillbar.Status} == codes


def test_two_printers_are_two_printers(tmp_path):
    a_path, b_path = tmp_path / "a.epl", tmp_path / "b.epl"
    a_path.write_bytes(b"")
    b_path.write_bytes(b"")
    with quillbar.Printer(a_path) as a:
        with quillbar.Printer(b_path) as b:
            a.send_command("FOR_A")
            b.send_command("FOR_B")
        a.send_command("AGAIN_A")
        with pytest.raises(quillbar.Error) as raised:
            b.send_command("LOST")
        assert raised.value.code == quillbar.ERR_PARAMETER
    assert a.closed and b.closed
    assert a_path.read_bytes() == b"FOR_A\nAGAIN_A\n"
    assert b_path.read_bytes() == b"FOR_B\n"


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.set_darkness(2**32 + 5),
        lambda p: p.set_darkness(True),
        lambda p: p.print(False),
        lambda p: p.print(2**63),
        lambda p: p.print_line(-(2**31) - 1, 0, 1, 1),
        lambda p: p.print_character(1, 1, 0, 1, 1, 1, 0, "A\0B"),
        lambda p: p.send_command(b"OD\0P1"),
        lambda p: p.qr(1, 1, "x", level="MM"),
        lambda p: p.qr(1, 1, "x", level=7),
        lambda p: p.print_character(1, 1, 0, 1, 1, 1, 0, "\u20ac not Latin-1"),
        lambda p: p.print_chinese_str(1, 1, 0, 0, 1, 0, "\U0001f600"),
        lambda p: p.print_character(1, 1, 0, 1, 1, 1, 0, 42),
        lambda p: p.print_line(1.5, 0, 1, 1),
        lambda p: p.send_bytes("text, not bytes"),
        lambda p: p.status(timeout=float("inf")),
        lambda p: p.status(timeout=float("nan")),
        lambda p: p.status(timeout=-1),
        lambda p: p.status(timeout="2"),
        lambda p: p.down_picture(3.5, "LOGO"),
        lambda p: p.set_message_handler("not callable"),
    ],
)
def test_numbers_and_text_are_never_cut_or_wrapped(tmp_path, call):
    capture = tmp_path / "capture.epl"
    capture.write_bytes(b"")
    with quillbar.Printer(capture) as p:
        with pytest.raises(quillbar.Error) as raised:
            call(p)
    assert raised.value.code == quillbar.ERR_PARAMETER
    assert capture.read_bytes() == b""


def test_a_long_number_is_shown_short_and_a_bytearray_is_text(tmp_path):
    capture = tmp_path / "capture.epl"
    capture.write_bytes(b"")
    with quillbar.Printer(capture) as p:
        with pytest.raises(quillbar.Error) as raised:
            p.print(10**300)
        assert len(str(raised.value)) < 200
        p.send_command(bytearray(b"N"))
        p.send_command(memoryview(b"P1"))
    assert capture.read_bytes() == b"N\nP1\n"


def test_a_child_that_drops_its_copy_leaves_the_parents_printer(tmp_path):
    import socket

    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    p = quillbar.Printer("tcp://127.0.0.1:%d" % server.getsockname()[1], baud=0)
    peer, _ = server.accept()
    pid = os.fork()
    if pid == 0:  # the child only lets go of the object, as at its exit
        del p
        gc.collect()
        os._exit(0)
    assert os.waitpid(pid, 0)[1] == 0
    for _ in range(10):
        p.send_command("N")
        p.print(1)
    p.close()
    assert p.notice == ""
    got = b""
    peer.settimeout(5)
    while True:
        data = peer.recv(65536)
        if not data:
            break
        got += data
    assert got.count(b"P1\n") == 10
    peer.close()
    server.close()


def test_each_exception_carries_its_own_calls_message(tmp_path):
    capture = tmp_path / "capture.epl"
    capture.write_bytes(b"")
    wrong = []
    with quillbar.Printer(capture) as p:

        def fail_often(t):
            for i in range(400):
                value = 16 + t * 1000 + i
                try:
                    p.set_darkness(value)
                except quillbar.Error as e:
                    if e.message != "darkness %d is outside 0..15" % value:
                        wrong.append(e.message)

        threads = [threading.Thread(target=fail_often, args=(t,)) for t in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert wrong == []


def test_bar_codes_and_status(tmp_path, pty):
    capture = tmp_path / "capture.epl"
    capture.write_bytes(b"")
    with quillbar.Printer(capture) as p:
        p.barcode(5, 10, "EAN-13", "501234567890", height=15)
        p.qr(5, 30, "https://example.com", module=4, level="H")
        with pytest.raises(quillbar.Error) as raised:
            p.barcode(5, 10, "EAN-13", "5012")
        assert "12 digits" in raised.value.message
        assert p.status(timeout=5) is quillbar.Status.UNKNOWN  # a file carries no answer
    assert capture.read_bytes() == b'B40,80,0,E30,2,2,120,B,"501234567890"\nb40,240,Q,s4,eH,"https://example.com"\n'
    master, name = pty
    with quillbar.Printer(name) as p:
        answer = threading.Thread(target=lambda: (drain(master, 0.3), os.write(master, b"11\r\n")))
        answer.start()
        assert p.status(timeout=3) is quillbar.Status.HEAD_UP
        answer.join()
        assert p.status(timeout=0.2) is quillbar.Status.UNKNOWN
    assert quillbar.Status(93) is quillbar.Status.PDF417_TOO_LARGE
    assert quillbar.Status(42).name == "CODE_42"


def test_handlers_live_as_long_as_the_library_may_call_them(tmp_path):
    logo = tmp_path / "logo.pcx"
    logo.write_bytes(b"PCX" * 20)
    out = tmp_path / "out.epl"
    out.write_bytes(b"")
    seen = []
    # A Printer with a handler, freed; then another's down_picture.
    p = quillbar.Printer(out)
    p.set_message_handler(seen.append)
    del p
    gc.collect()
    with quillbar.Printer(out) as q:
        q.down_picture(logo, "LOGO")
        # Setting handlers while another thread runs down_picture.
        stop = threading.Event()

        def store():
            while not stop.is_set():
                q.down_picture(logo, "LOGO")

        sender = threading.Thread(target=store)
        sender.start()
        for i in range(200):
            q.set_message_handler((lambda text, i=i: seen.append(i)) if i % 2 else None)
        stop.set()
        sender.join()
    with pytest.raises(quillbar.Error):
        q.down_picture(logo, "LOGO")


def test_the_readme_virtual_environment_steps(tmp_path):
    """The README's three lines, as written but for the folder."""
    readme = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")).read()
    steps = re.search(r"^```sh\n(python3 -m venv ~/labels-env\n.*?)```", readme, re.S | re.M)
    assert steps, "the README's virtual-environment steps"
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    script = steps.group(1).replace("~/labels-env", str(tmp_path / "env")).replace("./python", source)
    script = script.replace("python3 -m venv", sys.executable + " -m venv")
    script = script.replace("$PWD/build/libquillbar.so.0", os.environ.get("QUILLBAR_LIBRARY", "libquillbar.so.0"))
    if subprocess.run([sys.executable, "-c", "import ensurepip"], capture_output=True).returncode != 0:
        pytest.skip("no ensurepip for %s (Debian: python3-venv)" % sys.executable)
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip().endswith(quillbar.__version__)


def test_printers_are_routes(monkeypatch):
    monkeypatch.setenv("CUPS_SERVER", "127.0.0.1:1")  # no print server answers there
    assert quillbar.printers() == []


def test_pip_installs_offline(tmp_path):
    pip = subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True)
    if pip.returncode != 0:
        pytest.skip("no pip for %s" % sys.executable)
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    target = tmp_path / "site"
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-index", "--no-deps", "--quiet", "--target", str(target), source],
        check=True,
    )
    assert (target / "quillbar" / "py.typed").exists()
    check = subprocess.run(
        [sys.executable, "-c", "import quillbar; print(quillbar.__file__, quillbar.library_version())"],
        env=dict(os.environ, PYTHONPATH=str(target)),
        capture_output=True,
        text=True,
        check=True,
    )
    assert check.stdout.startswith(str(target))
