# SPDX-License-Identifier: MIT
"""Print labels on EPL2 thermal label printers through the quillbar library.

    import quillbar

    with quillbar.Printer("/dev/ttyUSB0", baud=9600) as p:
        p.set_paper_size(0, 100, 60, 3)
        p.set_clear()
        p.print_character(5, 5, 0, 4, 1, 1, 0, "HELLO")
        p.print_chinese_str(5, 20, 1, 0, 4, 0, "中文标签")
        p.send_command("OD")
        p.print(1)

Every method is one export of the C library, named in snake case without
``QB_``; a call that fails raises :class:`Error` with the library's code and
its message. ``str`` text is encoded to GBK for Chinese text and to Latin-1
for the printer's own fonts, bar codes and commands; ``bytes`` go as they are.

The library is found by its SONAME (``libquillbar.so.0``; ``quillbar.dll`` on
Windows) or at the path in the ``QUILLBAR_LIBRARY`` environment variable.
"""
from __future__ import annotations

import ctypes
import os
import sys
from typing import Any, Callable, Optional, Union

__version__ = "0.3.0"

__all__ = [
    "Error",
    "Printer",
    "library_version",
    "LPT1",
    "LPT2",
    "COM1",
    "COM2",
    "ERR_PARAMETER",
    "ERR_PORT_WRITE",
    "ERR_PORT_OPEN",
    "ERR_PORT_CLOSE",
]

LPT1, LPT2, COM1, COM2 = 1, 2, 3, 4
ERR_PARAMETER = 1001
ERR_PORT_WRITE = 1002
ERR_PORT_OPEN = 2001
ERR_PORT_CLOSE = 2002

Text = Union[str, bytes]
MessageHandler = Callable[[str], None]

_int = ctypes.c_int
_str = ctypes.c_char_p
_HANDLER = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)

# Each export: its argument types and result type.
_EXPORTS = {
    "QB_PortOpen": ([_int, _int], _int),
    "QB_PortClose": ([], _int),
    "QB_PortSetDevice": ([_int, _str], _int),
    "QB_GetLastError": ([], _str),
    "QB_GetLastErrorCode": ([], _int),
    "QB_GetLastErrorMessage": ([], _str),
    "QB_GetVersion": ([], _str),
    "QB_SetPrinterComSpeed": ([_int], _int),
    "QB_SetDarkness": ([_int], _int),
    "QB_SetPrintSpeed": ([_int], _int),
    "QB_SetPrintXY": ([_int, _int], _int),
    "QB_SetPrintFeedDim": ([_int], _int),
    "QB_SetPaperSize": ([_int] * 4, _int),
    "QB_SetClear": ([], _int),
    "QB_SetInitialize": ([_int] * 3, _int),
    "QB_SetPrintBack": ([_int], _int),
    "QB_PrintLine": ([_int] * 4, _int),
    "QB_PrintBox": ([_int] * 5, _int),
    "QB_PrintCharacter": ([_int] * 7 + [_str], _int),
    "QB_PrintBarcode": ([_int] * 8 + [_str], _int),
    "QB_PrintChineseStr": ([_int] * 6 + [_str], _int),
    "QB_Print": ([_int], _int),
    "QB_SendCommand": ([_str], _int),
    "QB_SendBytes": ([ctypes.c_char_p, ctypes.c_size_t], _int),
    "QB_SetMessageHandler": ([_HANDLER, ctypes.c_void_p], _int),
    "QB_DownPicture": ([_str, _str], _int),
    "QB_PrintMemGraphics": ([_int, _int, _str], _int),
    "QB_DeleteMemGraphics": ([_str], _int),
}


def _load() -> Any:
    path = os.environ.get("QUILLBAR_LIBRARY")
    if sys.platform == "win32":
        lib = ctypes.WinDLL(path or "quillbar.dll")  # __stdcall exports
        # Exported only under its decorated name.
        com_dots = getattr(lib, "_QB_SetPrinterComDots@4")
    else:
        lib = ctypes.CDLL(path or "libquillbar.so.0")
        com_dots = lib.QB_SetPrinterComDots
    for name, (argtypes, restype) in _EXPORTS.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = restype
    com_dots.argtypes = [_int]
    com_dots.restype = _int
    lib.com_dots = com_dots
    return lib


_lib: Any = None


def _library() -> Any:
    global _lib
    if _lib is None:
        _lib = _load()
    return _lib


def library_version() -> str:
    """The version of the loaded library, e.g. "0.3.0"."""
    return str(_library().QB_GetVersion().decode("ascii"))


class Error(Exception):
    """A call the library refused or could not carry out.

    ``code`` is the library's code (ERR_PARAMETER, ERR_PORT_WRITE, ...; 0 for
    a picture that could not be stored) and ``message`` says why.
    """

    def __init__(self, code: int, message: str) -> None:
        super().__init__("%s (%d)" % (message, code))
        self.code = code
        self.message = message


def _latin1(text: Text) -> bytes:
    return text if isinstance(text, bytes) else text.encode("latin-1")


def _gbk(text: Text) -> bytes:
    return text if isinstance(text, bytes) else text.encode("gbk")


def _path(path: Union[str, bytes, "os.PathLike[str]"]) -> bytes:
    return os.fsencode(path)


def _check(result: int) -> None:
    if result != 0:
        lib = _library()
        raise Error(lib.QB_GetLastErrorCode(), lib.QB_GetLastErrorMessage().decode("utf-8", "replace"))


class Printer:
    """One printer behind a route: a device path, a file or ``tcp://HOST:PORT``.

    ``with Printer(route, baud=9600, port=COM1) as p:`` routes the port
    selector to the device, opens it, and closes it at the end. The library
    has one connection per process: one Printer is open at a time.
    """

    def __init__(self, device: Union[str, bytes, "os.PathLike[str]"], baud: int = 9600, port: int = COM1) -> None:
        self.device = device
        self.baud = baud
        self.port = port
        self._handler: Optional[Any] = None

    def __enter__(self) -> "Printer":
        self.port_set_device(self.port, self.device)
        self.port_open(self.port, self.baud)
        return self

    def __exit__(self, *exc: object) -> None:
        self.port_close()

    # ---- port connection and errors ----------------------------------------
    def port_open(self, port: int, baud: int) -> None:
        _check(_library().QB_PortOpen(port, baud))

    def port_close(self) -> None:
        _check(_library().QB_PortClose())

    def port_set_device(self, port: int, device: Optional[Union[str, bytes, "os.PathLike[str]"]]) -> None:
        _check(_library().QB_PortSetDevice(port, None if device is None else _path(device)))

    def get_last_error(self) -> bytes:
        """The GB2312 text "CODE--MESSAGE" of the last failure."""
        return bytes(_library().QB_GetLastError())

    def get_last_error_code(self) -> int:
        return int(_library().QB_GetLastErrorCode())

    def get_last_error_message(self) -> str:
        return str(_library().QB_GetLastErrorMessage().decode("utf-8", "replace"))

    def get_version(self) -> str:
        return library_version()

    # ---- setup --------------------------------------------------------------
    def set_printer_com_speed(self, speed: int) -> None:
        _check(_library().QB_SetPrinterComSpeed(speed))

    def set_printer_com_dots(self, value: int) -> None:
        _check(_library().com_dots(value))

    def set_darkness(self, darkness: int) -> None:
        _check(_library().QB_SetDarkness(darkness))

    def set_print_speed(self, speed: int) -> None:
        _check(_library().QB_SetPrintSpeed(speed))

    def set_print_xy(self, x: int, y: int) -> None:
        _check(_library().QB_SetPrintXY(x, y))

    def set_print_feed_dim(self, value: int) -> None:
        _check(_library().QB_SetPrintFeedDim(value))

    def set_paper_size(self, black_mark: int, width: int, length: int, gap: int) -> None:
        _check(_library().QB_SetPaperSize(black_mark, width, length, gap))

    def set_clear(self) -> None:
        _check(_library().QB_SetClear())

    def set_initialize(self, speed: int, darkness: int, disable_backup: int) -> None:
        _check(_library().QB_SetInitialize(speed, darkness, disable_backup))

    def set_print_back(self, disable_backup: int) -> None:
        _check(_library().QB_SetPrintBack(disable_backup))

    # ---- label content --------------------------------------------------------
    def print_line(self, x: int, y: int, width: int, height: int) -> None:
        _check(_library().QB_PrintLine(x, y, width, height))

    def print_box(self, x1: int, y1: int, x2: int, y2: int, thickness: int) -> None:
        _check(_library().QB_PrintBox(x1, y1, x2, y2, thickness))

    def print_character(
        self, x: int, y: int, rotation: int, font: int, h_mult: int, v_mult: int, reverse: int, text: Text
    ) -> None:
        _check(_library().QB_PrintCharacter(x, y, rotation, font, h_mult, v_mult, reverse, _latin1(text)))

    def print_barcode(
        self,
        x: int,
        y: int,
        rotation: int,
        type: int,
        narrow: int,
        wide: int,
        height: int,
        readable: int,
        text: Text,
    ) -> None:
        _check(_library().QB_PrintBarcode(x, y, rotation, type, narrow, wide, height, readable, _latin1(text)))

    def print_chinese_str(
        self, x: int, y: int, face: int, style: int, size: int, rotation: int, text: Text
    ) -> None:
        _check(_library().QB_PrintChineseStr(x, y, face, style, size, rotation, _gbk(text)))

    def print(self, count: int = 1) -> None:
        _check(_library().QB_Print(count))

    # ---- raw commands -----------------------------------------------------------
    def send_command(self, line: Text) -> None:
        _check(_library().QB_SendCommand(_latin1(line)))

    def send_bytes(self, data: bytes) -> None:
        _check(_library().QB_SendBytes(data, len(data)))

    # ---- stored graphics --------------------------------------------------------
    def set_message_handler(self, handler: Optional[MessageHandler]) -> None:
        """handler(text) sees each stage of down_picture; None removes it."""
        if handler is None:
            self._handler = None
            _check(_library().QB_SetMessageHandler(ctypes.cast(None, _HANDLER), None))
            return

        def trampoline(text: bytes, _context: Any) -> None:
            handler(text.decode("latin-1"))

        self._handler = _HANDLER(trampoline)  # kept alive while set
        _check(_library().QB_SetMessageHandler(self._handler, None))

    def down_picture(self, path: Union[str, bytes, "os.PathLike[str]"], name: Text) -> None:
        if _library().QB_DownPicture(_path(path), _latin1(name)) != 0:
            raise Error(0, "cannot store %s in the printer as %r" % (os.fsdecode(path), name))

    def print_mem_graphics(self, x: int, y: int, name: Text) -> None:
        _check(_library().QB_PrintMemGraphics(x, y, _latin1(name)))

    def delete_mem_graphics(self, name: Text) -> None:
        _check(_library().QB_DeleteMemGraphics(_latin1(name)))
