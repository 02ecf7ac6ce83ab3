// SPDX-License-Identifier: MIT
// One label in a fresh process, as a command-line program prints it: the
// whole process is what is measured (by the parent, in CPU time).
//   first_call flat|handle OUT      Chinese text through the flat API or a handle
//   first_call label OUT            a label of printer-font text and a bar code
//   first_call fill OUT             every GB2312 character in every size: fills
//                                   the glyph store to its cap (not measured)
// It is a C program, as most applications and every script through a foreign
// function interface are. Its floor is first_call_floor.c: the same bytes
// written by a program that links nothing but the C library.
#include <stdio.h>
#include <string.h>

#include "quillbar.h"

static const char kChinese[] = "\xD6\xD0\xCE\xC4\xB1\xEA\xC7\xA9"; /* 中文标签 */

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    const char *mode = argv[1], *out = argv[2];
    int rc = -1;
    if (strcmp(mode, "handle") == 0) {
        QB_Printer *p = QB_PrinterOpen(out, 0);
        rc = p ? QB_PrinterPrintChineseStr(p, 10, 20, 0, 0, 3, 0, kChinese) : -1;
        if (p) QB_PrinterClose(p);
    } else if (strcmp(mode, "fill") == 0) {
        QB_PortSetDevice(1, out);
        if (QB_PortOpen(1, 9600) != 0) return 1;
        rc = 0;
        for (int size = 1; size <= 4; ++size)
            for (int lead = 0xB0; lead <= 0xF7; ++lead)
                for (int trail = 0xA1; trail <= 0xFE; trail += 8) {
                    char text[17];
                    int n = 0;
                    for (int k = 0; k < 8 && trail + k <= 0xFE; ++k) {
                        text[n++] = (char)lead;
                        text[n++] = (char)(trail + k);
                    }
                    text[n] = '\0';
                    rc |= QB_PrintChineseStr(10, 20, 0, 0, size, 0, text);
                }
        QB_PortClose();
    } else {
        QB_PortSetDevice(1, out);
        if (QB_PortOpen(1, 9600) != 0) return 1;
        if (strcmp(mode, "label") == 0)
            rc = QB_SetClear() | QB_PrintCharacter(5, 5, 0, 3, 1, 1, 0, "SHIP TO: A. Reader") |
                 QB_PrintBarcode(5, 15, 0, 1, 2, 6, 100, 1, "QB-2026-000142") | QB_Print(1);
        else
            rc = QB_PrintChineseStr(10, 20, 0, 0, 3, 0, kChinese);
        QB_PortClose();
    }
    if (rc != 0) fprintf(stderr, "%s\n", QB_GetLastErrorMessage());
    return rc == 0 ? 0 : 1;
}
