// SPDX-License-Identifier: MIT
#include "connection/last_error.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "quillbar.h"

namespace quillbar {
namespace {

constexpr std::size_t kTextSize = 1024;

// The messages callers have always received, as GB2312 bytes (code page 936).
const char *gb2312_for(int code) {
    switch (code) {
    case QB_ERR_PARAMETER:  // "parameter error"
        return "\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3";
    case QB_ERR_PORT_WRITE:  // "port print error"
        return "\xB6\xCB\xBF\xDA\xB4\xF2\xD3\xA1\xB4\xED\xCE\xF3";
    case QB_ERR_PORT_OPEN:  // "error opening the communication port"
        return "\xB4\xF2\xBF\xAA\xCD\xA8\xD1\xB6\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3";
    case QB_ERR_PORT_CLOSE:  // "error closing the communication port"
        return "\xB9\xD8\xB1\xD5\xCD\xA8\xD1\xB6\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3";
    default:
        return nullptr;
    }
}

const char *plain_meaning(int code) {
    switch (code) {
    case QB_ERR_PARAMETER: return "invalid argument";
    case QB_ERR_PORT_WRITE: return "cannot write to the port";
    case QB_ERR_PORT_OPEN: return "cannot open the port";
    case QB_ERR_PORT_CLOSE: return "cannot close the port";
    default: return "";
    }
}

// The shared store: written by failing calls, copied out under its own small
// lock. Plain arrays, so nothing is destroyed at exit.
struct Store {
    std::atomic<int> code{0};
    char message[kTextSize] = {};
};
Store g_store;
alignas(std::mutex) unsigned char g_lock_storage[sizeof(std::mutex)];
std::mutex *g_lock = new (g_lock_storage) std::mutex;

thread_local char t_text[kTextSize];
thread_local char t_message[kTextSize];

}  // namespace

int fail(int code, const std::string &cause) {
    std::lock_guard<std::mutex> lock(*g_lock);
    g_store.code.store(code, std::memory_order_relaxed);
    const std::string &message = cause.empty() ? std::string(plain_meaning(code)) : cause;
    std::snprintf(g_store.message, sizeof g_store.message, "%s", message.c_str());
    return -1;
}

int fail_parameter(const char *format, ...) {
    char message[kTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    return fail(QB_ERR_PARAMETER, message);
}

int last_error_code() { return g_store.code.load(std::memory_order_relaxed); }

const char *last_error_text() {
    const int code = last_error_code();
    std::memset(t_text, 0, sizeof t_text);
    if (const char *message = gb2312_for(code)) std::snprintf(t_text, sizeof t_text, "%d--%s", code, message);
    return t_text;
}

const char *last_error_message() {
    std::lock_guard<std::mutex> lock(*g_lock);
    std::memcpy(t_message, g_store.message, sizeof t_message);
    return t_message;
}

void reset_last_error_lock() { g_lock = new (g_lock_storage) std::mutex; }

}  // namespace quillbar
