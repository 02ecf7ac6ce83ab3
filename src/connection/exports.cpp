// SPDX-License-Identifier: MIT
// The connection, error, version and raw-command exports.
#include <pthread.h>

#include <cstring>
#include <new>

#include "connection/connection.h"
#include "connection/device.h"
#include "connection/guard.h"
#include "quillbar.h"

namespace quillbar {
namespace {

alignas(std::recursive_mutex) unsigned char g_mutex_storage[sizeof(std::recursive_mutex)];
std::recursive_mutex *g_mutex = new (g_mutex_storage) std::recursive_mutex;

#ifndef _WIN32
// A child forked while another thread was inside a call has a copy of the
// lock held by a thread that does not exist there: it starts with fresh locks.
void fresh_locks_in_child() {
    g_mutex = new (g_mutex_storage) std::recursive_mutex;
    reset_last_error_lock();
    reset_interrupt_after_fork();
}
const int g_atfork = pthread_atfork(nullptr, nullptr, fresh_locks_in_child);
#endif

}  // namespace

std::recursive_mutex &export_mutex() { return *g_mutex; }

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

QB_API const char *QB_CALL QB_GetVersion(void) { return QUILLBAR_VERSION_STRING; }

QB_API int QB_CALL QB_SendCommand(const char *line) {
    return guarded([&] {
        if (check_text(line, "command line") != 0) return -1;
        if (send(Line(line)) != 0) return -1;
        return prints(line) ? end_job("label") : 0;
    });
}

QB_API int QB_CALL QB_SendBytes(const void *data, size_t size) {
    return guarded([&] {
        if (!data && size > 0) return fail_parameter("the data is NULL but its size is %zu", size);
        return size == 0 ? 0 : send_bytes(data, size);  // nothing to send: like any call that sends nothing
    });
}

}  // extern "C"
