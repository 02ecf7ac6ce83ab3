// SPDX-License-Identifier: MIT
// The guard every export runs inside: one process-wide lock, so that calls
// from several threads never interleave the bytes of two commands, and a
// catch-all, so that nothing is thrown across the C boundary. The lock is
// recursive so that code running inside a call may call another export.
#pragma once

#include <mutex>

#if defined(__GLIBCXX__) && !defined(_WIN32)
#include <cxxabi.h>
#define QUILLBAR_FORCED_UNWIND 1
#endif

#include "connection/last_error.h"
#include "quillbar.h"

namespace quillbar {

std::recursive_mutex &export_mutex();

// Runs body with the catch-all but without the lock, for an export that
// takes the lock itself around the parts that must not interleave.
// code_on_exception is stored when the body throws; 0 stores nothing (for
// QB_DownPicture, which never sets the code).
// The forced-unwind object of a cancelled thread has no address of its own:
// binding the handler's reference to it is what the runtime intends, not a
// null dereference, so the null check is off here.
#if defined(__GNUC__) && !defined(__clang__)
#define QUILLBAR_NO_NULL_CHECK __attribute__((no_sanitize("null")))
#else
#define QUILLBAR_NO_NULL_CHECK
#endif

template <class Body>
QUILLBAR_NO_NULL_CHECK int unlocked_guarded(Body &&body, int code_on_exception = QB_ERR_PORT_WRITE) {
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

template <class Body>
int guarded(Body &&body, int code_on_exception = QB_ERR_PORT_WRITE) {
    return unlocked_guarded(
        [&] {
            std::lock_guard<std::recursive_mutex> lock(export_mutex());
            return body();
        },
        code_on_exception);
}

// 0 when text may go on a command line; otherwise -1 with 1001 naming what
// (the "text", the "name"): NULL, or a CR or LF, which would end the line
// early and make the rest a command of its own.
int check_text(const char *text, const char *what);

}  // namespace quillbar
