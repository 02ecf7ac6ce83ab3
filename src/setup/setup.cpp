// SPDX-License-Identifier: MIT
// Printer setup operations: each sends one to three setup lines.
#include "connection/connection.h"
#include "connection/guard.h"
#include "connection/operations.h"

namespace quillbar::op {
namespace {

bool in_range(int value, int low, int high) { return value >= low && value <= high; }

Line backup_line(int disable_backup) { return Line(disable_backup ? "JB" : "JF"); }

}  // namespace

int SetPrinterComSpeed(int speed) {
    static const char *const kCodes[] = {"96", "19", "38"};
    if (!in_range(speed, 1, 3)) return fail_parameter("serial speed %d is not 1 (9600), 2 (19200) or 3 (38400)", speed);
    return send(Line("Y").word(kCodes[speed - 1]).word("N").num(8).num(1));
}

// Kept for callers that set the printer's dot count; EPL2 has no such setting.
int SetPrinterComDots(int value) {
    (void)value;
    return 0;
}

int SetDarkness(int darkness) {
    if (!in_range(darkness, 0, 15)) return fail_parameter("darkness %d is outside 0..15", darkness);
    return send(Line("D").num(darkness));
}

int SetPrintSpeed(int speed) {
    if (!in_range(speed, 1, 4)) return fail_parameter("print speed %d is outside 1..4", speed);
    return send(Line("S").num(speed));
}

int SetPrintXY(int x, int y) { return send(Line("R").mm(x).mm(y)); }

int SetPrintFeedDim(int value) {
    if (!in_range(value, 70, 130)) return fail_parameter("feed position %d is outside 70..130", value);
    // The printer takes the stop position in dots, 100 its nominal one.
    return send(Line("f").num(value));
}

// -1 for width or length leaves that line out.
int SetPaperSize(int black_mark, int width, int length, int gap) {
    if (width != -1) {
        if (send(Line("q").mm(width)) != 0) return -1;
        current_printer().set_label_width(8L * width);
    }
    if (length == -1) return 0;
    return send(Line("Q").mm(length).word_mm(black_mark ? "B" : "", gap));
}

int SetClear() { return send(Line("N")); }

int SetInitialize(int speed, int darkness, int disable_backup) {
    if (!in_range(speed, 1, 4)) return fail_parameter("print speed %d is outside 1..4", speed);
    if (!in_range(darkness, 0, 15)) return fail_parameter("darkness %d is outside 0..15", darkness);
    return send_each(Line("S").num(speed), Line("D").num(darkness), backup_line(disable_backup));
}

int SetPrintBack(int disable_backup) { return send(backup_line(disable_backup)); }

}  // namespace quillbar::op
