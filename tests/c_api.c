/* SPDX-License-Identifier: MIT */
/* The public header as a C99 program sees it: every declared function is
 * referenced, so linking against the shared library proves each one exists. */
#include <stdio.h>
#include <string.h>

#include "quillbar.h"

typedef void (*any_fn)(void);

int main(void) {
    const any_fn exports[] = {
        (any_fn)QB_PortOpen,        (any_fn)QB_PortClose,        (any_fn)QB_PortSetDevice,
        (any_fn)QB_GetLastError,    (any_fn)QB_GetLastErrorCode, (any_fn)QB_SetPrinterComSpeed,
        (any_fn)QB_SetPrinterComDots, (any_fn)QB_SetDarkness,    (any_fn)QB_SetPrintSpeed,
        (any_fn)QB_SetPrintXY,      (any_fn)QB_SetPrintFeedDim,  (any_fn)QB_SetPaperSize,
        (any_fn)QB_SetClear,        (any_fn)QB_SetInitialize,    (any_fn)QB_SetPrintBack,
        (any_fn)QB_PrintLine,       (any_fn)QB_PrintBox,         (any_fn)QB_PrintCharacter,
        (any_fn)QB_PrintBarcode,    (any_fn)QB_Print,            (any_fn)QB_SetMessageHandler, (any_fn)QB_PrintChineseStr,
        (any_fn)QB_DownPicture,     (any_fn)QB_PrintMemGraphics, (any_fn)QB_DeleteMemGraphics,
        (any_fn)QB_PrintBarcodeByName, (any_fn)QB_Print2DBarcode, (any_fn)QB_GetPrinterStatus,
        (any_fn)QB_PrinterOpen,     (any_fn)QB_PrinterClose,     (any_fn)QB_PrinterStatus,
        (any_fn)QB_PrinterGetLastErrorCode, (any_fn)QB_PrinterGetLastErrorMessage,
        (any_fn)QB_PrinterSetClear, (any_fn)QB_PrinterPrintChineseStr, (any_fn)QB_PrinterDownPicture,
        (any_fn)QB_PrinterSetMessageHandler, (any_fn)QB_PrinterSendBytes,
    };
    int codes[] = {ERR_PARAMETER, ERR_PORT_WRITE, ERR_PORT_OPEN, ERR_PORT_CLOSE};
    QB_Printer *none;
    /* A fresh process: no failure yet, so no text. */
    if (QB_GetLastError()[0] != '\0' || QB_GetLastErrorCode() != 0) return 1;
    none = QB_PrinterOpen(NULL, 9600);
    /* A NULL device opens no printer, and says why. */
    if (none != NULL || QB_GetLastErrorCode() != QB_ERR_PARAMETER) return 1;
    if (QB_PrinterSetClear(none) != -1 || QB_PrinterStatus(none, 0) != QB_STATUS_UNKNOWN) return 1;
    /* Nothing open: a command fails with the write error, through the C ABI. */
    if (QB_SetClear() != -1 || QB_GetLastErrorCode() != codes[1]) return 1;
    if (strcmp(QB_GetLastError(), "1002--\xB6\xCB\xBF\xDA\xB4\xF2\xD3\xA1\xB4\xED\xCE\xF3") != 0) return 1;
    printf("%u exports reachable from C\n", (unsigned)(sizeof exports / sizeof exports[0]));
    return 0;
}
