// SPDX-License-Identifier: MIT
// Label element operations: lines, boxes, printer-font text, bar codes, print.
#include <string_view>

#include "connection/connection.h"
#include "connection/guard.h"
#include "connection/operations.h"

namespace quillbar::op {

int PrintLine(int x, int y, int width, int height) { return send(Line("LO").mm(x).mm(y).mm(width).mm(height)); }

// The thickness comes last among the arguments but third on the line.
int PrintBox(int x1, int y1, int x2, int y2, int thickness) {
    return send(Line("X").mm(x1).mm(y1).mm(thickness).mm(x2).mm(y2));
}

int PrintCharacter(int x, int y, int rotation, int font, int h_mult, int v_mult, int reverse, const char *text) {
    if (check_text(text, "text") != 0) return -1;
    return send(Line("A").mm(x).mm(y).num(rotation).num(font).num(h_mult).num(v_mult).word(reverse ? "R" : "N").quoted(text));
}

// Bar widths and height are dots, as the printer takes them; only the
// position is in millimetres.
int PrintBarcode(int x, int y, int rotation, int type, int narrow, int wide, int height, int readable, const char *text) {
    if (check_text(text, "bar-code data") != 0) return -1;
    return send(Line("B").mm(x).mm(y).num(rotation).num(type).num(narrow).num(wide).num(height)
                    .word(readable ? "B" : "N").quoted(text));
}

// A print server takes each label, up to and including its P line, as one
// job. The job ends even when the P line did not go: a label a print server
// dropped is reported and forgotten there, never left to the next P line.
int Print(int count) {
    const int sent = send(Line("P").num(count));
    return end_job("label") == 0 && sent == 0 ? 0 : -1;
}

int SendCommand(const char *line) {
    if (check_text(line, "command line") != 0) return -1;
    const int sent = send(Line(line));
    if (!prints(line)) return sent;
    return end_job("label") == 0 && sent == 0 ? 0 : -1;
}

// The last line of bytes sent at once, without its line end: "P1" in
// "...\nP1\r\n"; empty when they do not end a line.
std::string_view last_line(const char *data, std::size_t size) {
    if (size == 0 || data[size - 1] != '\n') return {};
    std::size_t end = size - 1;
    if (end > 0 && data[end - 1] == '\r') --end;
    std::size_t start = end;
    while (start > 0 && data[start - 1] != '\n') --start;
    return std::string_view(data + start, end - start);
}

// Bytes that end with a print command complete a label, as that command
// sent alone does: on a print server they go as a job then, not at close.
int SendBytes(const void *data, size_t size) {
    if (!data && size > 0) return fail_parameter("the data is NULL but its size is %zu", size);
    if (size == 0) return 0;  // nothing to send: like any call that sends nothing
    const int sent = send_bytes(data, size);
    if (!prints(last_line(static_cast<const char *>(data), size))) return sent;
    return end_job("label") == 0 && sent == 0 ? 0 : -1;
}

}  // namespace quillbar::op
