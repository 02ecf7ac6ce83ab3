#include "connection/last_error.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "quillbar.h"

namespace quillbar {
namespace {

std::atomic<int> g_code{0};
char g_text[1024];

// The messages callers have always received, as GB2312 bytes (code page 936).
const char *message_for(int code) {
    switch (code) {
    case ERR_PARAMETER:  // "parameter error"
        return "\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3";
    case ERR_PORT_WRITE:  // "port print error"
        return "\xB6\xCB\xBF\xDA\xB4\xF2\xD3\xA1\xB4\xED\xCE\xF3";
    case ERR_PORT_OPEN:  // "error opening the communication port"
        return "\xB4\xF2\xBF\xAA\xCD\xA8\xD1\xB6\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3";
    case ERR_PORT_CLOSE:  // "error closing the communication port"
        return "\xB9\xD8\xB1\xD5\xCD\xA8\xD1\xB6\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3";
    default:
        return nullptr;
    }
}

}  // namespace

int fail(int code) {
    g_code.store(code, std::memory_order_relaxed);
    return -1;
}

int last_error_code() { return g_code.load(std::memory_order_relaxed); }

const char *last_error_text() {
    std::memset(g_text, 0, sizeof g_text);
    const int code = last_error_code();
    if (const char *message = message_for(code))
        std::snprintf(g_text, sizeof g_text, "%d--%s", code, message);
    return g_text;
}

}  // namespace quillbar
