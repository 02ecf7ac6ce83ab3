// The guard every export runs inside: one process-wide lock, so that calls
// from several threads never interleave the bytes of two commands, and a
// catch-all, so that nothing is thrown across the C boundary. The lock is
// recursive: a message handler may call back into the library.
#pragma once

#include <mutex>

#include "connection/last_error.h"
#include "quillbar.h"

namespace quillbar {

std::recursive_mutex &export_mutex();

// code_on_exception is stored when the body throws; 0 stores nothing (for
// QB_DownPicture, which never sets the code).
template <class Body>
int guarded(Body &&body, int code_on_exception = ERR_PORT_WRITE) noexcept {
    try {
        std::lock_guard<std::recursive_mutex> lock(export_mutex());
        return body();
    } catch (...) {
        // Only an allocation, or a caller's handler, can throw: the command
        // was not sent whole.
        return code_on_exception ? fail(code_on_exception) : -1;
    }
}

// The result of an export that rejects one of its arguments.
inline int reject() { return fail(ERR_PARAMETER); }

}  // namespace quillbar
