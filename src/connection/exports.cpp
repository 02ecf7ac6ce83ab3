// The connection and error exports.
#include "connection/connection.h"
#include "connection/guard.h"
#include "quillbar.h"

namespace quillbar {

std::recursive_mutex &export_mutex() {
    static std::recursive_mutex m;
    return m;
}

}  // namespace quillbar

using namespace quillbar;

extern "C" {

QB_API int QB_CALL QB_PortOpen(int port, int baud) {
    return guarded([&] { return open_port(port, baud); });
}

QB_API int QB_CALL QB_PortClose(void) {
    return guarded([] { return close_port(); });
}

QB_API int QB_CALL QB_PortSetDevice(int port, const char *device) {
    return guarded([&] { return route_port(port, device); });
}

QB_API const char *QB_CALL QB_GetLastError(void) {
    std::lock_guard<std::recursive_mutex> lock(export_mutex());
    return last_error_text();
}

QB_API int QB_CALL QB_GetLastErrorCode(void) { return last_error_code(); }

}  // extern "C"
