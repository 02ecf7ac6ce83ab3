/*
 * quillbar: print labels on EPL2 thermal label printers.
 *
 * Every call turns its arguments into EPL2 command lines (text ending in one
 * LF byte, no CR) and writes them to the open port. Nothing is read back from
 * the printer. Every function except QB_GetLastError returns 0 on success and
 * -1 on failure; QB_GetLastErrorCode / QB_GetLastError then tell why.
 *
 * Units: arguments marked "mm" are millimetres and are sent multiplied by 8
 * (printer dots at 203 dpi). Numbers are sent in decimal as given, negative
 * ones with a leading '-'. Text is sent byte for byte between double quotes.
 *
 * Every function that sends fails with 1002 (ERR_PORT_WRITE) when no port is
 * open or the port does not take the bytes; a port that takes no byte at all
 * for 15 seconds counts as failed rather than hanging the caller. Lines sent
 * before a failure stay sent.
 *
 * Threads: every function takes one process-wide lock, so calls from several
 * threads never interleave the bytes of two commands.
 *
 * This header is plain C (C99) and C++; nothing throws across it.
 */
#ifndef QUILLBAR_H
#define QUILLBAR_H

#if defined(_WIN32)
#define QB_CALL __stdcall
#else
#define QB_CALL
#endif

#if defined(_WIN32)
#define QB_API
#elif defined(__GNUC__)
#define QB_API __attribute__((visibility("default")))
#else
#define QB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Last-error codes (QB_GetLastErrorCode). 0 means no failure yet. */
enum {
    ERR_PARAMETER = 1001,  /* an argument is outside its accepted values     */
    ERR_PORT_WRITE = 1002, /* a command could not be written to the port     */
    ERR_PORT_OPEN = 2001,  /* the port could not be opened or configured     */
    ERR_PORT_CLOSE = 2002  /* the port could not be closed, or none was open */
};

/* ---- Port connection ---------------------------------------------------- */

/* Opens port 1 "LPT1", 2 "LPT2", 3 "COM1" or 4 "COM2" (serial), at baud
 * 9600, 19200 or 38400 (checked for parallel ports too, where it is unused).
 * Serial ports are set to raw 8 data bits, no parity, one stop bit, and are
 * taken for exclusive use. A port already open is closed first.
 * Returns 0; -1 with 1001 for a bad port or baud (nothing is touched), -1
 * with 2001 when the device does not open or (serial) its line settings do
 * not take; in the latter case the device stays open and in use. */
QB_API int QB_CALL QB_PortOpen(int port, int baud);

/* Closes the open port. Returns 0; -1 with 2002 when nothing is open or the
 * close fails. Afterwards no port is open either way. */
QB_API int QB_CALL QB_PortClose(void);

/* Routes port selector 1..4 to a device path for the next QB_PortOpen: a USB
 * serial adapter "/dev/ttyUSB0", a USB printer "/dev/usb/lp0", a
 * pseudo-terminal, or an existing plain file that captures the stream (writes
 * are appended). NULL or "" restores the default (/dev/lp0, /dev/lp1,
 * /dev/ttyS0, /dev/ttyS1). Returns 0; -1 with 1001 for a selector outside
 * 1..4. */
QB_API int QB_CALL QB_PortSetDevice(int port, const char *device);

/* ---- Errors -------------------------------------------------------------- */

/* The last failure as GB2312 text "CODE--MESSAGE", e.g. "1001--" followed by
 * the message for 1001; "" before any failure. Successful calls never clear
 * it. The pointer stays valid; the next call rewrites the text. */
QB_API const char *QB_CALL QB_GetLastError(void);

/* The code of the last failure (ERR_*), or 0 before any failure. */
QB_API int QB_CALL QB_GetLastErrorCode(void);

/* ---- Printer setup ------------------------------------------------------- */

/* Sends "Y96,N,8,1" (1), "Y19,N,8,1" (2) or "Y38,N,8,1" (3): the printer's
 * serial speed. The host port keeps its speed. -1 with 1001 for others. */
QB_API int QB_CALL QB_SetPrinterComSpeed(int speed);

/* Sends nothing and returns 0, whatever the value. */
QB_API int QB_CALL QB_SetPrinterComDots(int value);

/* Sends "D<darkness>", darkness 0..15; -1 with 1001 otherwise. */
QB_API int QB_CALL QB_SetDarkness(int darkness);

/* Sends "S<speed>", speed 1..4; -1 with 1001 otherwise. */
QB_API int QB_CALL QB_SetPrintSpeed(int speed);

/* Sends "R<x>,<y>": the reference point, x and y in mm. */
QB_API int QB_CALL QB_SetPrintXY(int x, int y);

/* Sends "f<value*8>", value 70..130; -1 with 1001 otherwise. */
QB_API int QB_CALL QB_SetPrintFeedDim(int value);

/* Sends "q<width>" unless width is -1, then "Q<length>,<gap>" (with "B"
 * before the gap when black_mark is non-zero) unless length is -1. All mm. */
QB_API int QB_CALL QB_SetPaperSize(int black_mark, int width, int length, int gap);

/* Sends "N": clears the printer's image buffer. */
QB_API int QB_CALL QB_SetClear(void);

/* Sends "S<speed>", "D<darkness>", then "JB" (disable_backup non-zero) or
 * "JF", as three writes. speed 1..4 and darkness 0..15, else -1 with 1001
 * and nothing is sent. */
QB_API int QB_CALL QB_SetInitialize(int speed, int darkness, int disable_backup);

/* Sends "JB" when disable_backup is non-zero, else "JF". */
QB_API int QB_CALL QB_SetPrintBack(int disable_backup);

/* ---- Label elements ------------------------------------------------------ */

/* Sends "LO<x>,<y>,<width>,<height>": a filled rectangle, all mm. */
QB_API int QB_CALL QB_PrintLine(int x, int y, int width, int height);

/* Sends "X<x1>,<y1>,<thickness>,<x2>,<y2>": a box outline, all mm. */
QB_API int QB_CALL QB_PrintBox(int x1, int y1, int x2, int y2, int thickness);

/* Sends "A<x>,<y>,<rotation>,<font>,<h_mult>,<v_mult>,<N|R>,"<text>"": text
 * in a printer font, x and y in mm, R when reverse is non-zero. -1 with 1001
 * for a NULL text. */
QB_API int QB_CALL QB_PrintCharacter(int x, int y, int rotation, int font, int h_mult,
                                     int v_mult, int reverse, const char *text);

/* Sends "B<x>,<y>,<rotation>,<type>,<narrow>,<wide>,<height>,<B|N>,"<data>"":
 * a bar code, x and y in mm, the rest in dots as given, B when readable is
 * non-zero. -1 with 1001 for NULL data. */
QB_API int QB_CALL QB_PrintBarcode(int x, int y, int rotation, int type, int narrow, int wide,
                                   int height, int readable, const char *text);

/* Draws text on the host and sends it as a graphic: "GW<x>,<y>,<row bytes>,
 * <rows>," then the packed image (a 0 bit prints black), then LF; x and y in
 * mm. text is GB2312/GBK (ASCII allowed); each byte takes one cell, so a
 * Chinese character takes two. face: 0 Hei, 1 Song, 2 Kai, 3 Li (others Song;
 * the low 16 bits count). style: 0 plain, 1 italic, 2 heavier, 3 heavier
 * italic, 4 underlined, 5 italic underlined, 6 heavier underlined (others
 * plain). size: cell 16x24 (1), 16x32 (2), 24x40 (3), 24x48 (4) pixels (others
 * as 3). rotation: 0 none, 1 reading upwards, 2 upside down, 3 reading
 * downwards (others 0); turned images are cell-height wide. -1 with 1001 for
 * NULL or a text over 1,023 bytes or 30,719 pixels (79, 59, 31 and 26 bytes
 * for sizes 1..4), nothing sent. */
QB_API int QB_CALL QB_PrintChineseStr(int x, int y, int face, int style, int size, int rotation,
                                      const char *text);

/* Sends "P<count>": prints the label count times. */
QB_API int QB_CALL QB_Print(int count);

/* ---- Stored graphics ----------------------------------------------------- */

/* Receives each stage of QB_DownPicture as text; the next stage runs when it
 * returns. It runs inside the library's lock and may call QB_ functions. */
typedef void (*QB_MessageHandler)(const char *text, void *context);

/* Sets the handler that shows QB_DownPicture's stages (POSIX has no modal
 * message box); NULL removes it, and then the stages run without being
 * shown. context is passed back to the handler untouched. Returns 0. */
QB_API int QB_CALL QB_SetMessageHandler(QB_MessageHandler handler, void *context);

/* Stores the picture file at path (a 1-bit PCX) in the printer as name:
 * sends GK"name" LF, GM"name"<size> LF, then exactly <size> bytes of the
 * file. Shows, in this order: the path; "filelengh:0--<size>"; the data as
 * text up to its first zero byte; the GK line; the GM line. Returns 0, or -1
 * when the file is missing, unreadable or locked by another process (nothing
 * sent) or a write fails (what was written stays sent). It never changes the
 * last-error code. */
QB_API int QB_CALL QB_DownPicture(const char *path, const char *name);

/* Sends "GG<x>,<y>,"<name>"": places a stored graphic, x and y in mm.
 * -1 with 1001 for a NULL name. */
QB_API int QB_CALL QB_PrintMemGraphics(int x, int y, const char *name);

/* Sends "GK"<name>"" twice, as two writes (the printer deletes on the
 * second); no second write when the first fails. -1 with 1001 for NULL. */
QB_API int QB_CALL QB_DeleteMemGraphics(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* QUILLBAR_H */
