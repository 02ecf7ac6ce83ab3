// SPDX-License-Identifier: MIT
// Label element exports: lines, boxes, printer-font text, bar codes, print.
#include "connection/connection.h"
#include "connection/guard.h"
#include "quillbar.h"

using namespace quillbar;

extern "C" {

QB_API int QB_CALL QB_PrintLine(int x, int y, int width, int height) {
    return guarded([&] { return send(Line("LO").mm(x).mm(y).mm(width).mm(height)); });
}

// The thickness comes last among the arguments but third on the line.
QB_API int QB_CALL QB_PrintBox(int x1, int y1, int x2, int y2, int thickness) {
    return guarded([&] { return send(Line("X").mm(x1).mm(y1).mm(thickness).mm(x2).mm(y2)); });
}

QB_API int QB_CALL QB_PrintCharacter(int x, int y, int rotation, int font, int h_mult, int v_mult,
                                     int reverse, const char *text) {
    return guarded([&] {
        if (check_text(text, "text") != 0) return -1;
        return send(Line("A").mm(x).mm(y).num(rotation).num(font).num(h_mult).num(v_mult)
                        .word(reverse ? "R" : "N").quoted(text));
    });
}

// Bar widths and height are dots, as the printer takes them; only the
// position is in millimetres.
QB_API int QB_CALL QB_PrintBarcode(int x, int y, int rotation, int type, int narrow, int wide,
                                   int height, int readable, const char *text) {
    return guarded([&] {
        if (check_text(text, "bar-code data") != 0) return -1;
        return send(Line("B").mm(x).mm(y).num(rotation).num(type).num(narrow).num(wide).num(height)
                        .word(readable ? "B" : "N").quoted(text));
    });
}

// A print server takes each label, up to and including its P line, as one job.
QB_API int QB_CALL QB_Print(int count) {
    return guarded([&] { return send(Line("P").num(count)) == 0 ? end_job("label") : -1; });
}

}  // extern "C"
