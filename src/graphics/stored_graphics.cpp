// SPDX-License-Identifier: MIT
// Stored graphics: a picture file kept by name in the printer (GM), placed on
// a label (GG) and deleted (GK).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "connection/connection.h"
#include "connection/guard.h"
#include "connection/last_error.h"
#include "connection/operations.h"
#include "connection/printer.h"
#include "graphics/host.h"
#include "quillbar.h"

namespace quillbar::op {
namespace {

// Shows one stage of QB_DownPicture; the next stage runs once the handler
// returns. With no handler the host's message box shows it. It runs outside
// the lock: a handler may hand the text to another thread that calls the
// library, and wait for it.
void show(const std::string &text) {
    if (!current_printer().messages().show(text)) show_message_box(text);
}

Line delete_line(const char *name) { return Line("GK").quoted(name); }

// QB_DownPicture reports by its result: a failure leaves the last error's
// code as it was, but says why in the message.
int refuse(const std::string &why) {
    fail(last_error_code(), why);
    return -1;
}

int end_picture_job(const std::string &what) {
    const int code = last_error_code();
    if (end_job(what) == 0) return 0;
    char why[kErrorTextSize];
    current_printer().errors().copy_message(why);
    return fail(code, why);
}

// Sends text or data; on failure says why, keeping the code.
bool sent(const void *data, std::size_t size) {
    std::string why;
    if (write_bytes(data, size, &why)) return true;
    refuse(why);
    return false;
}

}  // namespace

// The stages of QB_DownPicture. Every failure returns -1 and leaves the last
// error as it was. The lock is taken for each step that sends, never across
// a stage that is shown.
int DownPicture(const char *path, const char *name) {
    if (!path) return refuse("the picture's path is NULL");
    if (!name) return refuse("the graphic name is NULL");
    if (std::strpbrk(name, "\r\n")) return refuse("the graphic name holds a line end (CR or LF)");
    show(path);
    std::string why;
    const auto data = read_picture_file(path, why);
    if (!data) return refuse(why);

    char length[64];
    std::snprintf(length, sizeof length, "filelengh:%d--%zu", 0, data->size());
    show(length);
    // The data itself, as text up to its first zero byte.
    show(std::string(data->begin(), std::find(data->begin(), data->end(), 0)));

    // GK first: the printer refuses to store under a name it already has.
    // On a print server the graphic is a job of its own: what was sent
    // before it goes first.
    std::recursive_mutex &printer_lock = current_printer().lock();
    Line gk = delete_line(name);
    {
        std::lock_guard<std::recursive_mutex> lock(printer_lock);
        const std::string_view line = gk.finish();
        if (end_picture_job("lines sent before a stored graphic") != 0 || !sent(line.data(), line.size())) return -1;
    }
    show(std::string(gk.finish()));
    // The printer reads exactly the announced number of bytes after the GM
    // line as the PCX file, so the data goes bare: no quote marks around it.
    // The line is shown before it goes: the line and its data go together,
    // so that no other thread's command can come between them.
    Line gm = Line("GM").quoted(name).joined(static_cast<std::int64_t>(data->size()));
    show(std::string(gm.finish()));
    std::lock_guard<std::recursive_mutex> lock(printer_lock);
    const std::string_view line = gm.finish();
    if (!sent(line.data(), line.size()) || !sent(data->data(), data->size())) return -1;
    return end_picture_job("graphic " + std::string(name));
}

// Waits until no other thread is inside the handler it replaces.
int SetMessageHandler(QB_MessageHandler handler, void *context) {
    current_printer().messages().set(handler, context);
    return 0;
}

int PrintMemGraphics(int x, int y, const char *name) {
    if (check_text(name, "graphic name") != 0) return -1;
    return send(Line("GG").mm(x).mm(y).quoted(name));
}

// The printer deletes a stored graphic only when told twice.
int DeleteMemGraphics(const char *name) {
    if (check_text(name, "graphic name") != 0) return -1;
    Line line = delete_line(name);
    return send_each(line, line);
}

}  // namespace quillbar::op
