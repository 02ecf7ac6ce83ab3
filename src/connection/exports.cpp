// SPDX-License-Identifier: MIT
// The connection, error, version and raw-command exports.
#include <pthread.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "connection/connection.h"
#include "connection/device.h"
#include "connection/guard.h"
#include "connection/printer.h"
#include "quillbar.h"

namespace quillbar {
namespace {

#ifndef _WIN32
// A child forked while another thread was inside a call has copies of locks
// held by a thread that does not exist there: it starts with fresh locks.
void fresh_locks_in_child() {
    reset_printer_locks_after_fork();
    reset_last_error_lock();
}
const int g_atfork = pthread_atfork(nullptr, nullptr, fresh_locks_in_child);
#endif

}  // namespace

std::shared_ptr<Printer> printer_for(QB_Printer *handle) {
    std::shared_ptr<Printer> printer = find_printer(handle);
    if (!printer) {
        Unattached unattached;
        fail_parameter(handle ? "the printer handle is closed, or was never opened" : "the printer handle is NULL");
    }
    return printer;
}

namespace {

int status_of_current(int timeout_ms) {
    if (timeout_ms < 0) return fail_parameter("timeout %d ms is negative", timeout_ms);
    return current_printer().status(std::chrono::milliseconds(timeout_ms));
}

// Opens a new printer; the reason for a failure goes to the calling
// thread's process-wide error, as there is no handle to hold it.
QB_Printer *open_printer(const char *device, int baud) {
    if (!device || !*device) {
        fail_parameter("the device is %s", device ? "empty" : "NULL");
        return nullptr;
    }
    if (baud != 0 && !valid_baud(baud)) {
        fail_parameter("baud %d is not 9600, 19200, 38400 or 0 (keep the line's speed)", baud);
        return nullptr;
    }
    auto printer = std::make_shared<Printer>(next_printer_number());
    const PortKind kind = baud ? PortKind::serial : PortKind::parallel;
    if (printer->open(device, kind, baud) != 0) return nullptr;
    return register_printer(std::move(printer));
}

int close_printer(QB_Printer *handle) {
    clear_notice();
    const std::shared_ptr<Printer> printer = unregister_printer(handle);
    if (!printer) {
        return fail_parameter(handle ? "the printer handle is closed, or was never opened" : "the printer handle is NULL");
    }
    // No handler of this printer runs once it is closed.
    printer->messages().set(nullptr, nullptr);
    return printer->close();
}

}  // namespace

int check_text(const char *text, const char *what) {
    if (!text) return fail_parameter("the %s is NULL", what);
    if (std::strpbrk(text, "\r\n")) return fail_parameter("the %s holds a line end (CR or LF)", what);
    return 0;
}

}  // namespace quillbar

using namespace quillbar;

extern "C" {

QB_API int QB_CALL QB_PortOpen(int port, int baud) {
    return guarded([&] { return open_port(port, baud); });
}

// Not under the lock at first: a write waiting on a slow printer holds the
// lock, and closing is how another thread ends it.
QB_API int QB_CALL QB_PortClose(void) {
    return unlocked_guarded([] { return close_port(); });
}

QB_API int QB_CALL QB_PortSetDevice(int port, const char *device) {
    return guarded([&] { return route_port(port, device); });
}

QB_API const char *QB_CALL QB_GetLastError(void) { return last_error_text(); }

QB_API int QB_CALL QB_GetLastErrorCode(void) { return last_error_code(); }

QB_API const char *QB_CALL QB_GetLastErrorMessage(void) { return last_error_message(); }

QB_API int QB_CALL QB_GetLastNoticeCode(void) { return last_notice_code(); }

QB_API const char *QB_CALL QB_GetLastNotice(void) { return last_notice(); }

QB_API const char *QB_CALL QB_GetVersion(void) { return QUILLBAR_VERSION_STRING; }

QB_API int QB_CALL QB_GetPrinterStatus(int timeout_ms) {
    return guarded([&] { return status_of_current(timeout_ms); });
}

// ---- printer handles --------------------------------------------------------------------

QB_API QB_Printer *QB_CALL QB_PrinterOpen(const char *device, int baud) {
    QB_Printer *handle = nullptr;
    unattached_guarded([&] {
        handle = open_printer(device, baud);
        return 0;
    });
    return handle;
}

// Not under the printer's lock at first: closing is how another thread ends
// a write that waits on a slow printer.
QB_API int QB_CALL QB_PrinterClose(QB_Printer *printer) {
    return unattached_guarded([&] { return close_printer(printer); }, QB_ERR_PORT_CLOSE);
}

QB_API int QB_CALL QB_PrinterStatus(QB_Printer *printer, int timeout_ms) {
    return on_handle(printer, Locking::whole_call, [&] { return status_of_current(timeout_ms); });
}

QB_API int QB_CALL QB_PrinterList(char *buf, size_t size) {
    return unattached_guarded([&] {
        if (!buf && size > 0) return fail_parameter("the buffer is NULL but its size is %zu", size);
        std::vector<std::string> names;
        std::string why;
        if (!printer_queues(names, why)) return fail(QB_ERR_PORT_OPEN, why);
        std::size_t needed = 0, at = 0;
        for (const std::string &name : names) {
            needed += name.size() + 1;
            if (needed <= size) {
                std::memcpy(buf + at, name.c_str(), name.size() + 1);
                at = needed;
            }
        }
        return needed > static_cast<std::size_t>(INT_MAX) ? fail_parameter("the list of printers is too long") : static_cast<int>(needed);
    });
}

QB_API int QB_CALL QB_PrinterGetLastErrorCode(QB_Printer *printer) {
    const std::shared_ptr<Printer> p = find_printer(printer);
    return p ? printer_error_code(p->errors(), p->owner()) : QB_ERR_PARAMETER;
}

QB_API const char *QB_CALL QB_PrinterGetLastErrorMessage(QB_Printer *printer) {
    const std::shared_ptr<Printer> p = find_printer(printer);
    if (!p) return printer ? "the printer handle is closed, or was never opened" : "the printer handle is NULL";
    return printer_error_message(p->errors(), p->owner());
}

}  // extern "C"
