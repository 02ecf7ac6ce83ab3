# SPDX-License-Identifier: MIT
"""Print labels on EPL2 thermal label printers through the quillbar library.

    import quillbar

    with quillbar.Printer("/dev/ttyUSB0", baud=9600) as p:
        p.set_paper_size(0, 100, 60, 3)
        p.set_clear()
        p.print_character(5, 5, 0, 4, 1, 1, 0, "HELLO")
        p.print_chinese_str(5, 20, 1, 0, 4, 0, "中文标签")
        p.barcode(5, 30, "EAN-13", "501234567890", height=15)
        p.print(1)
        if p.status(timeout=2.0) is not quillbar.Status.OK:
            ...  # tell the operator

A Printer is one printer: two Printers on two routes are two printers, each
with its own connection, lock and last error, usable from several threads.
Every method is one operation of the C library, named in snake case without
``QB_``; a call that fails raises :class:`Error` with the library's code and
that call's own message. ``str`` text is encoded to GBK for Chinese text and
to Latin-1 for the printer's own fonts, bar codes and commands; ``bytes`` go
as they are. Numbers must fit a C ``int`` and text must hold no NUL byte:
anything else raises instead of being cut.

The library is found by its SONAME (``libquillbar.so.0``; ``quillbar.dll`` on
Windows) or at the path in the ``QUILLBAR_LIBRARY`` environment variable.
"""
from __future__ import annotations

import ctypes
import enum
import math
import os
import sys
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from . import _native

__version__ = "0.3.0"

__all__ = [
    "Error",
    "Printer",
    "Status",
    "library_version",
    "printers",
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
Path = Union[str, bytes, "os.PathLike[str]"]
MessageHandler = Callable[[str], None]

_int = ctypes.c_int
# The declarations, generated from the library's one list of exports
# (src/operations.def) by bindings/generate.py, as C#'s and Node's are.
_HANDLER = _native.HANDLER
_OPERATIONS: Dict[str, List[Any]] = _native.OPERATIONS
_EXPORTS: Dict[str, Tuple[List[Any], Any]] = _native.EXPORTS


def _all_exports() -> Dict[str, Tuple[List[Any], Any]]:
    exports = dict(_EXPORTS)
    for name, argtypes in _OPERATIONS.items():
        exports["QB_" + name] = (argtypes, _int)
        exports["QB_Printer" + name] = ([ctypes.c_void_p] + argtypes, _int)
    return exports


def _build_tree_library() -> Optional[str]:
    """The library of the build tree this module sits in (python/quillbar in
    a source tree whose build is in build/), when there is one."""
    top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    candidate = os.path.join(top, "build", "quillbar.dll" if sys.platform == "win32" else "libquillbar.so.0")
    return candidate if os.path.isfile(candidate) else None


def _load() -> Any:
    """The library: at QUILLBAR_LIBRARY, else the installed one by its
    SONAME, else the one of the build tree this module came from."""
    path = os.environ.get("QUILLBAR_LIBRARY")
    name = "quillbar.dll" if sys.platform == "win32" else "libquillbar.so.0"
    loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL  # __stdcall exports on Windows
    lib: Any
    try:
        lib = loader(path or name)
    except OSError as e:
        tree = None if path else _build_tree_library()
        if tree is None:
            raise OSError("cannot load %s (%s): install libquillbar0, or set QUILLBAR_LIBRARY to the library's path "
                          "(in a build tree: QUILLBAR_LIBRARY=$PWD/build/%s)" % (path or name, e, name)) from None
        lib = loader(tree)
    for name, (argtypes, restype) in _all_exports().items():
        # The flat QB_SetPrinterComDots is exported on Windows only under
        # its decorated name.
        exported = "_QB_SetPrinterComDots@4" if name == "QB_SetPrinterComDots" and sys.platform == "win32" else name
        function = getattr(lib, exported)
        function.argtypes = argtypes
        function.restype = restype
    return lib


_lib: Any = None


def _library() -> Any:
    global _lib
    if _lib is None:
        _lib = _load()
    return _lib


def printers() -> List[str]:
    """The printers a program can name, as routes for Printer: "printer:NAME"
    for each installed printer on Windows, "cups:NAME" for each destination
    of the print server elsewhere."""
    lib = _library()
    while True:
        size = int(lib.QB_PrinterList(None, 0))
        if size < 0:  # the print server wants a password, or does not answer
            raise Error(lib.QB_GetLastErrorCode(), lib.QB_GetLastErrorMessage().decode("utf-8", "replace"))
        buffer = ctypes.create_string_buffer(max(size, 1))
        if int(lib.QB_PrinterList(buffer, size)) == size:  # the list did not grow meanwhile
            return [name.decode("utf-8", "replace") for name in buffer.raw[:size].split(b"\0") if name]


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


class Status(enum.IntEnum):
    """What the printer reported when asked (Printer.status).

    UNKNOWN: the route carries no answer (a file, a FIFO, a parallel port, a
    print server) or none came in time. OK: no error. The rest are the
    printer's own codes: PAPER_OUT, HEAD_UP, PAUSED, ... need the operator
    (reload, close the head, resume) before the next label; SYNTAX,
    BARCODE_DATA, NAME_NOT_FOUND, ... say that something the application
    sent was refused. A code this list does not name comes as CODE_<n>.
    """

    UNKNOWN = -1
    OK = 0
    SYNTAX = 1
    OUT_OF_LABEL = 2
    BARCODE_DATA = 3
    MEMORY_FULL = 4
    MEMORY_CONFIG = 5
    SERIAL = 6
    PAPER_OUT = 7
    DUPLICATE_NAME = 8
    NAME_NOT_FOUND = 9
    NOT_IN_DATA_ENTRY = 10
    HEAD_UP = 11
    PAUSED = 12
    HEAD_HOT = 13
    MOTOR_HOT = 14
    BATTERY_LOW = 15
    BATTERY_LOW_2 = 16
    BUSY = 50
    UNDEFINED = 80
    CUTTER = 81
    SENSOR = 82
    ILLEGAL_INTERRUPT = 83
    MEDIA_FEED = 84
    PDF417_TOO_LARGE = 93

    @classmethod
    def _missing_(cls, value: object) -> "Status":
        if not isinstance(value, int):
            return None  # type: ignore[return-value]
        member = int.__new__(cls, value)
        member._name_ = "CODE_%d" % value
        member._value_ = value
        return member


_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1


def _number(value: int) -> int:
    """value as a C int, or Error: never wrapped around. A bool is no number
    (set_darkness(True) would send D1)."""
    if not isinstance(value, int) or isinstance(value, bool):
        raise Error(ERR_PARAMETER, "%s is not a whole number" % (_shown(value),))
    if not _INT_MIN <= value <= _INT_MAX:
        raise Error(ERR_PARAMETER, "%s does not fit a C int (%d..%d)" % (_shown(value), _INT_MIN, _INT_MAX))
    return value


def _shown(value: Any) -> str:
    """value as an error shows it: a long one (a 300-digit number) cut short."""
    text = repr(value)
    return text if len(text) <= 40 else text[:20] + "..." + text[-10:] + " (%d characters)" % len(text)


def _bytes(text: Text, encoding: str) -> bytes:
    """text as the library takes it, or Error: never a TypeError,
    UnicodeEncodeError or ctypes.ArgumentError from deeper down."""
    if isinstance(text, (bytes, bytearray, memoryview)):
        data = bytes(text)
    elif isinstance(text, str):
        try:
            data = text.encode(encoding)
        except UnicodeEncodeError as e:
            raise Error(ERR_PARAMETER, "%r cannot be written in %s (the printer's character set for it): %s"
                        % (text[e.start:e.end], encoding, e.reason)) from None
    else:
        raise Error(ERR_PARAMETER, "%s is not text (str, bytes or bytearray)" % (_shown(text),))
    if b"\0" in data:
        raise Error(ERR_PARAMETER, "the text holds a NUL byte, which would end it there")
    return data


def _handler_text(text: bytes) -> str:
    """The message handler's text as the header gives it: UTF-8 on POSIX (a
    path as given, lines sent), the ANSI code page on Windows; bytes that are
    neither (a binary picture's first bytes) shown as U+FFFD."""
    return text.decode("mbcs" if sys.platform == "win32" else "utf-8", "replace")


def _latin1(text: Text) -> bytes:
    return _bytes(text, "latin-1")


def _gbk(text: Text) -> bytes:
    return _bytes(text, "gbk")


def _path(path: Path) -> bytes:
    try:
        encoded = os.fsencode(path)
    except (TypeError, UnicodeError) as e:
        raise Error(ERR_PARAMETER, "%r is not a path: %s" % (path, e)) from None
    return _bytes(encoded, "latin-1")


def _milliseconds(seconds: float) -> int:
    """A timeout in seconds as whole milliseconds for the library, or Error."""
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise Error(ERR_PARAMETER, "timeout %r is not a number of seconds" % (seconds,))
    if not math.isfinite(seconds) or seconds < 0:
        raise Error(ERR_PARAMETER, "timeout %r is not a finite number of seconds, 0 or more" % (seconds,))
    return _number(int(seconds * 1000))


class Printer:
    """One printer on a route: a device path ("/dev/ttyUSB0", "/dev/usb/lp0",
    "COM3"), a file that captures the stream, "tcp://HOST:PORT", "cups:QUEUE"
    or "ipp://HOST/RESOURCE".

    The printer opens when the object is made (Error if it does not) and
    closes with close() or at the end of a ``with`` block. A terminal is set
    to raw 8N1 at baud; port=LPT1 or LPT2 keeps its speed instead (a parallel
    port). Using a closed Printer raises Error (ERR_PARAMETER).
    """

    def __init__(self, device: Path, baud: int = 9600, port: Optional[int] = None) -> None:
        self.device = device
        self.baud = baud
        self._handler: Optional[Any] = None
        lib = _library()
        handle = lib.QB_PrinterOpen(_path(device), 0 if port in (LPT1, LPT2) else _number(baud))
        if not handle:
            raise Error(lib.QB_GetLastErrorCode(), lib.QB_GetLastErrorMessage().decode("utf-8", "replace"))
        self._handle: Optional[int] = handle
        # The process that opened it: a child after fork() shares its
        # connection, and must not close it by being collected.
        self._pid = os.getpid()
        self.notice = ""

    def __enter__(self) -> "Printer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if self._handle is not None and getattr(self, "_pid", None) == os.getpid():
                self.close()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        """Whether the printer is closed."""
        return self._handle is None

    def close(self) -> None:
        """Closes the printer; closing a closed one does nothing.

        When the printer had not confirmed the last bytes (they may still
        print), close succeeds and says so in ``notice``: never print those
        labels again before checking the printer. In a child after fork()
        only the child's copy of the connection closes."""
        handle, self._handle = self._handle, None
        if handle is None:
            return
        lib = _library()
        result = lib.QB_PrinterClose(handle)
        # The library runs no handler of a closed printer any more.
        self._handler = None
        if result != 0:
            raise Error(lib.QB_GetLastErrorCode(), lib.QB_GetLastErrorMessage().decode("utf-8", "replace"))
        self.notice = lib.QB_GetLastNotice().decode("utf-8", "replace")

    def _live(self) -> int:
        handle = self._handle
        if handle is None:
            raise Error(ERR_PARAMETER, "the printer is closed")
        return handle

    def _call(self, name: str, *args: Any) -> None:
        handle = self._live()
        lib = _library()
        if int(getattr(lib, "QB_Printer" + name)(handle, *args)) != 0:
            # The message of this thread's own failure, whatever other
            # threads do with the printer meanwhile.
            code = int(lib.QB_PrinterGetLastErrorCode(handle))
            raise Error(code, lib.QB_PrinterGetLastErrorMessage(handle).decode("utf-8", "replace"))

    # ---- errors and state --------------------------------------------------
    def get_last_error_code(self) -> int:
        """This printer's last failure as this thread saw it (0: none)."""
        return int(_library().QB_PrinterGetLastErrorCode(self._live()))

    def get_last_error_message(self) -> str:
        """This printer's last failure in words (UTF-8) as this thread saw it ("": none)."""
        return str(_library().QB_PrinterGetLastErrorMessage(self._live()).decode("utf-8", "replace"))

    def get_version(self) -> str:
        """The version of the loaded library, e.g. "0.3.0"."""
        return library_version()

    def status(self, timeout: float = 2.0) -> Status:
        """Asks the printer whether it can print ("^ee") and waits at most
        timeout seconds for its answer; Status.UNKNOWN when the route carries
        none or none came in time."""
        result = int(_library().QB_PrinterStatus(self._live(), _milliseconds(timeout)))
        self._live()  # closed meanwhile by another thread: that is no answer
        return Status(result)

    # ---- setup --------------------------------------------------------------
    def set_printer_com_speed(self, speed: int) -> None:
        """Sends the printer's serial speed: 1 "Y96,N,8,1", 2 "Y19,N,8,1", 3 "Y38,N,8,1"."""
        self._call("SetPrinterComSpeed", _number(speed))

    def set_printer_com_dots(self, value: int) -> None:
        """Sends nothing (kept for the API it comes from)."""
        self._call("SetPrinterComDots", _number(value))

    def set_darkness(self, darkness: int) -> None:
        """Sends "D<darkness>", darkness 0..15."""
        self._call("SetDarkness", _number(darkness))

    def set_print_speed(self, speed: int) -> None:
        """Sends "S<speed>", speed 1..4."""
        self._call("SetPrintSpeed", _number(speed))

    def set_print_xy(self, x: int, y: int) -> None:
        """Sends "R<x>,<y>": the reference point, x and y in mm."""
        self._call("SetPrintXY", _number(x), _number(y))

    def set_print_feed_dim(self, value: int) -> None:
        """Sends "f<value>": the feed (stop) position, 70..130 dots (100 nominal)."""
        self._call("SetPrintFeedDim", _number(value))

    def set_paper_size(self, black_mark: int, width: int, length: int, gap: int) -> None:
        """Sends "q<width>" (unless width is -1) and "Q<length>,<gap>" ("B" and the mark for black_mark), in mm."""
        self._call("SetPaperSize", *map(_number, (black_mark, width, length, gap)))

    def set_clear(self) -> None:
        """Sends "N": clears the image buffer before a new label."""
        self._call("SetClear")

    def set_initialize(self, speed: int, darkness: int, disable_backup: int) -> None:
        """Sends "S<speed>", "D<darkness>", then "JB" (disable_backup non-zero) or "JF"."""
        self._call("SetInitialize", *map(_number, (speed, darkness, disable_backup)))

    def set_print_back(self, disable_backup: int) -> None:
        """Sends "JB" when disable_backup is non-zero, else "JF"."""
        self._call("SetPrintBack", _number(disable_backup))

    # ---- label content --------------------------------------------------------
    def print_line(self, x: int, y: int, width: int, height: int) -> None:
        """Sends "LO": a black line or filled box at x, y, width by height, all in mm."""
        self._call("PrintLine", *map(_number, (x, y, width, height)))

    def print_box(self, x1: int, y1: int, x2: int, y2: int, thickness: int) -> None:
        """Sends "X": a box outline from x1, y1 to x2, y2 with the thickness, all in mm."""
        self._call("PrintBox", *map(_number, (x1, y1, x2, y2, thickness)))

    def print_character(
        self, x: int, y: int, rotation: int, font: int, h_mult: int, v_mult: int, reverse: int, text: Text
    ) -> None:
        """Sends "A": text in the printer's font (1..5, or a soft font's letter sent as text), x and y in mm, the multipliers, reverse (non-zero: white on black). str text goes as Latin-1."""
        numbers = map(_number, (x, y, rotation, font, h_mult, v_mult, reverse))
        self._call("PrintCharacter", *numbers, _latin1(text))

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
        """Sends "B" with the printer's selection number type: x and y in mm, bar widths and height in dots, readable (non-zero: the digits under it)."""
        numbers = map(_number, (x, y, rotation, type, narrow, wide, height, readable))
        self._call("PrintBarcode", *numbers, _latin1(text))

    def print_barcode_by_name(
        self,
        x: int,
        y: int,
        rotation: int,
        symbology: Text,
        narrow: int,
        wide: int,
        height: int,
        readable: int,
        data: Text,
    ) -> None:
        """A bar code by name ("EAN-13", "CODE128", "GS1-128", ...), its data checked as the printer checks it: x, y and height in mm, bar widths in dots (0: the default)."""
        self._call(
            "PrintBarcodeByName",
            *map(_number, (x, y, rotation)),
            _latin1(symbology),
            *map(_number, (narrow, wide, height, readable)),
            _latin1(data),
        )

    def print_2d_barcode(
        self, x: int, y: int, symbology: Text, module: int, level: int, width: int, height: int, data: Text
    ) -> None:
        """A two-dimensional code ("QR", "DATAMATRIX", "PDF417") at x, y (mm): module in dots, level (QR: ord of L, M, Q or H; PDF417 0..8 or -1), PDF417's box width and height in mm."""
        self._call(
            "Print2DBarcode",
            _number(x),
            _number(y),
            _latin1(symbology),
            *map(_number, (module, level, width, height)),
            _latin1(data),
        )

    def barcode(
        self,
        x: int,
        y: int,
        symbology: str,
        data: Text,
        height: int = 10,
        narrow: int = 0,
        wide: int = 0,
        rotation: int = 0,
        readable: bool = True,
    ) -> None:
        """A bar code by name ("EAN-13", "CODE128", "CODE39", ...): x, y and
        height in mm, bar widths in dots (0: the symbology's default)."""
        self.print_barcode_by_name(x, y, rotation, symbology, narrow, wide, height, int(readable), data)

    def qr(self, x: int, y: int, data: Text, module: int = 3, level: str = "M") -> None:
        """A QR code at x, y (mm): module size in dots, error level L, M, Q or H."""
        if not isinstance(level, str) or len(level) != 1:
            raise Error(ERR_PARAMETER, "QR error level %r is not L, M, Q or H" % level)
        self.print_2d_barcode(x, y, "QR", module, ord(level), 0, 0, data)

    def print_chinese_str(
        self, x: int, y: int, face: int, style: int, size: int, rotation: int, text: Text
    ) -> None:
        """Draws text on the host and sends it as a graphic (GW): face 0..3, style 0..6, size 1..4, rotation 0..3; str text goes as GBK."""
        self._call("PrintChineseStr", *map(_number, (x, y, face, style, size, rotation)), _gbk(text))

    def print(self, count: int = 1) -> None:
        """Sends "P<count>": prints the label count times. On a print server the label is a job then."""
        self._call("Print", _number(count))

    # ---- raw commands -----------------------------------------------------------
    def send_command(self, line: Text) -> None:
        """Sends one command line of your own (no CR or LF in it); a line "P..." completes a label as print() does."""
        self._call("SendCommand", _latin1(line))

    def send_bytes(self, data: bytes) -> None:
        """Sends data (bytes, bytearray or memoryview) as it is."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise Error(ERR_PARAMETER, "%r is not bytes" % (data,))
        raw = bytes(data)
        self._call("SendBytes", raw, len(raw))

    # ---- stored graphics --------------------------------------------------------
    def set_message_handler(self, handler: Optional[MessageHandler]) -> None:
        """handler(text) sees each stage of down_picture; None removes it.

        The library returns once no other thread is inside the handler it
        replaces, and only then is that one let go."""
        callback: Any = _HANDLER(0)  # NULL: no handler
        if handler is not None and not callable(handler):
            raise Error(ERR_PARAMETER, "the message handler %r is not callable" % (handler,))
        if handler is not None:
            show = handler

            def trampoline(text: bytes, _context: Any) -> None:
                show(_handler_text(text))

            callback = _HANDLER(trampoline)
        self._call("SetMessageHandler", callback, None)
        self._handler = callback if handler is not None else None  # kept alive while the library may call it

    def down_picture(self, path: Path, name: Text) -> None:
        """Stores the picture file at path in the printer as name. Error's
        code is 0 (the library keeps no code for it) and its message the
        library's reason."""
        handle = self._live()
        lib = _library()
        if lib.QB_PrinterDownPicture(handle, _path(path), _latin1(name)) != 0:
            self._live()
            raise Error(0, lib.QB_PrinterGetLastErrorMessage(handle).decode("utf-8", "replace"))

    def print_mem_graphics(self, x: int, y: int, name: Text) -> None:
        """Sends "GG<x>,<y>,\"<name>\"": places a stored graphic, x and y in mm."""
        self._call("PrintMemGraphics", _number(x), _number(y), _latin1(name))

    def delete_mem_graphics(self, name: Text) -> None:
        """Sends "GK\"<name>\"" twice (the printer deletes on the second)."""
        self._call("DeleteMemGraphics", _latin1(name))
