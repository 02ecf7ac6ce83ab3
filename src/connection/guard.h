// The guard every export runs inside: one process-wide lock, so that calls
// from several threads never interleave the bytes of two commands, and a
// catch-all, so that nothing is thrown across the C boundary.
#pragma once

#include <mutex>

#include "connection/last_error.h"
#include "quillbar.h"

namespace quillbar {

std::mutex &export_mutex();

template <class Body>
int guarded(Body &&body) noexcept {
    try {
        std::lock_guard<std::mutex> lock(export_mutex());
        return body();
    } catch (...) {
        // Only an allocation can throw here, before or while a command is
        // composed: the command was not sent.
        return fail(ERR_PORT_WRITE);
    }
}

// The result of an export that rejects one of its arguments.
inline int reject() { return fail(ERR_PARAMETER); }

}  // namespace quillbar
