// SPDX-License-Identifier: MIT
// The guard every export runs inside: the printer's lock, so that calls from
// several threads never interleave the bytes of two commands on it; the
// printer's error store, so that a failure is recorded where its caller
// looks; and a catch-all, so that nothing is thrown across the C boundary.
#pragma once

#include <memory>
#include <mutex>

#if defined(__GLIBCXX__) && !defined(_WIN32)
#include <cxxabi.h>
#define QUILLBAR_FORCED_UNWIND 1
#endif

#include "connection/last_error.h"
#include "connection/printer.h"
#include "quillbar.h"

namespace quillbar {

// The forced-unwind object of a cancelled thread has no address of its own:
// binding the handler's reference to it is what the runtime intends, not a
// null dereference, so the null check is off here.
#if defined(__GNUC__) && !defined(__clang__)
#define QUILLBAR_NO_NULL_CHECK __attribute__((no_sanitize("null")))
#else
#define QUILLBAR_NO_NULL_CHECK
#endif

enum class Locking { whole_call, by_the_body };

// Runs body with nothing thrown out of it: cancellation (pthread_cancel,
// pthread_exit) goes on through, anything else is a failed call.
// code_on_exception is stored when the body throws; 0 stores nothing (for
// QB_DownPicture, which never sets the code).
template <class Body>
QUILLBAR_NO_NULL_CHECK int catching(Body &&body, int code_on_exception) {
    try {
        return body();
#ifdef QUILLBAR_FORCED_UNWIND
    } catch (abi::__forced_unwind &) {
        // pthread_cancel or pthread_exit in a write: the thread is going
        // away. Swallowing this would abort the process; the lock is
        // released on the way out and the library stays usable.
        throw;
#endif
    } catch (...) {
        // Only an allocation, or a caller's handler, can throw: the command
        // was not sent whole.
        return code_on_exception ? fail(code_on_exception, "out of memory, or a handler threw") : -1;
    }
}

// Runs body as a call on printer: its failures go to the printer's store,
// send() writes to it. With Locking::whole_call the printer's lock is held
// throughout; by_the_body is for a call that takes it itself around the
// parts that must not interleave (and shows messages between them).
template <class Body>
int run_on(Printer &printer, Locking locking, Body &&body, int code_on_exception = QB_ERR_PORT_WRITE) {
    struct Context {
        Printer *printer;
        ErrorTarget target;
        explicit Context(Printer &p)
            : printer(exchange_current_printer(&p)), target(exchange_error_target({&p.errors(), p.owner()})) {}
        ~Context() {
            exchange_current_printer(printer);
            exchange_error_target(target);
        }
    } context(printer);
    return catching(
        [&] {
            if (locking == Locking::by_the_body) return body();
            std::lock_guard<std::recursive_mutex> lock(printer.lock());
            return body();
        },
        code_on_exception);
}

// While it lives, the calling thread's failures are ones no printer holds:
// they go to the process store and stay this thread's own (QB_PrinterOpen,
// QB_PrinterClose, QB_PrinterList, a NULL or closed handle).
class Unattached {
public:
    Unattached() : target_(exchange_error_target({&process_errors(), kNoPrinter})) {}
    ~Unattached() { exchange_error_target(target_); }
    Unattached(const Unattached &) = delete;
    Unattached &operator=(const Unattached &) = delete;

private:
    ErrorTarget target_;
};

// An export that works on no printer of its own (opening, closing, listing).
template <class Body>
int unattached_guarded(Body &&body, int code_on_exception = QB_ERR_PORT_WRITE) {
    Unattached unattached;
    return catching(body, code_on_exception);
}

// A flat export: a call on the default printer.
template <class Body>
int guarded(Body &&body, int code_on_exception = QB_ERR_PORT_WRITE) {
    return run_on(default_printer(), Locking::whole_call, body, code_on_exception);
}
template <class Body>
int unlocked_guarded(Body &&body, int code_on_exception = QB_ERR_PORT_WRITE) {
    return run_on(default_printer(), Locking::by_the_body, body, code_on_exception);
}

// The printer a handle stands for, or none with 1001 recorded for the
// calling thread (a NULL handle, or one already closed).
std::shared_ptr<Printer> printer_for(QB_Printer *handle);

// A handle export: a call on the handle's printer, -1 with 1001 for a NULL or
// closed handle. The printer stays alive until the call returns, even if
// another thread closes the handle meanwhile.
template <class Body>
int on_handle(QB_Printer *handle, Locking locking, Body &&body, int code_on_exception = QB_ERR_PORT_WRITE) {
    const std::shared_ptr<Printer> printer = printer_for(handle);
    if (!printer) return -1;
    const std::uint64_t failures = failures_in_this_thread();
    const int result = run_on(*printer, locking, body, code_on_exception);
    // Closed by another thread meanwhile (a write it ended): the handle can
    // no longer give this failure, so the calling thread keeps it.
    if (failures_in_this_thread() != failures && !find_printer(handle)) keep_last_failure_as_own();
    return result;
}

// 0 when text may go on a command line; otherwise -1 with 1001 naming what
// (the "text", the "name"): NULL, or a CR or LF, which would end the line
// early and make the rest a command of its own.
int check_text(const char *text, const char *what);

}  // namespace quillbar
