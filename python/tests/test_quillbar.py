# SPDX-License-Identifier: MIT
"""The Python module against the real library, with a pseudo-terminal as the
printer on COM1 and files as the printer on LPT1."""
import os
import select
import subprocess
import sys

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
        with pytest.raises(quillbar.Error):
            p.down_picture(tmp_path / "missing.pcx", "LOGO")
    assert shown == [str(logo), "filelengh:0--3", "PCX", 'GK"LOGO"\n', 'GM"LOGO"3\n']
    assert capture.read_bytes() == b'GK"LOGO"\nGM"LOGO"3\nPCXGG8,8,"LOGO"\nGK"LOGO"\nGK"LOGO"\n'


def test_every_export_has_a_method():
    names = [n for n in quillbar._EXPORTS] + ["QB_SetPrinterComDots"]
    for name in names:
        snake = "".join("_" + c.lower() if c.isupper() else c for c in name[3:]).lstrip("_")
        snake = snake.replace("x_y", "xy")
        assert hasattr(quillbar.Printer, snake), snake


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
