// SPDX-License-Identifier: MIT
#include "connection/last_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "connection/lasting.h"
#include "quillbar.h"

namespace quillbar {
namespace {

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

// Copies text into out (kErrorTextSize bytes), cutting a longer one where a
// UTF-8 character starts, never inside one.
void copy_cut(char *out, const std::string &text) {
    std::size_t n = text.size();
    if (n >= kErrorTextSize) {
        n = kErrorTextSize - 1;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

// This thread's own last failure, and where it went.
struct ThreadRecord {
    std::uint64_t owner = ~std::uint64_t{0};  // none yet
    std::uint64_t failures = 0;
    int code = 0;
    char message[kErrorTextSize] = {};
};

thread_local ErrorTarget t_target{nullptr, 0};
thread_local ThreadRecord t_record;
thread_local char t_text[kErrorTextSize];
thread_local char t_message[kErrorTextSize];
thread_local int t_notice_code = 0;
thread_local char t_notice[kErrorTextSize];

}  // namespace

void ErrorStore::set(int code, const std::string &message) {
    std::lock_guard<std::mutex> lock(lock_);
    code_.store(code, std::memory_order_relaxed);
    copy_cut(message_, message);
}

void ErrorStore::copy_message(char *out) const {
    std::lock_guard<std::mutex> lock(lock_);
    std::memcpy(out, message_, kErrorTextSize);
}

ErrorStore &process_errors() { return lasting<ErrorStore>(); }

ErrorTarget exchange_error_target(ErrorTarget target) {
    const ErrorTarget old = t_target;
    t_target = target;
    return old;
}

int fail(int code, const std::string &cause) {
    const std::string &message = cause.empty() ? std::string(plain_meaning(code)) : cause;
    ErrorStore &store = t_target.store ? *t_target.store : process_errors();
    store.set(code, message);
    t_record.owner = t_target.store ? t_target.owner : 0;
    ++t_record.failures;
    t_record.code = code;
    copy_cut(t_record.message, message);
    return -1;
}

int fail_parameter(const char *format, ...) {
    char message[kErrorTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    return fail(QB_ERR_PARAMETER, message);
}

namespace {
// The thread's last failure was one no printer holds: it is what this thread reads.
bool own_failure_first() { return !t_target.store && t_record.owner == kNoPrinter; }
}  // namespace

int last_error_code() {
    if (own_failure_first()) return t_record.code;
    return (t_target.store ? *t_target.store : process_errors()).code();
}

const char *last_error_text() {
    const int code = own_failure_first() ? t_record.code : process_errors().code();
    std::memset(t_text, 0, sizeof t_text);
    if (const char *message = gb2312_for(code)) std::snprintf(t_text, sizeof t_text, "%d--%s", code, message);
    return t_text;
}

const char *last_error_message() {
    if (own_failure_first())
        std::memcpy(t_message, t_record.message, sizeof t_message);
    else
        process_errors().copy_message(t_message);
    return t_message;
}

int printer_error_code(const ErrorStore &store, std::uint64_t owner) {
    return t_record.owner == owner ? t_record.code : store.code();
}

const char *printer_error_message(const ErrorStore &store, std::uint64_t owner) {
    if (t_record.owner == owner)
        std::memcpy(t_message, t_record.message, sizeof t_message);
    else
        store.copy_message(t_message);
    return t_message;
}

std::uint64_t failures_in_this_thread() { return t_record.failures; }

void keep_last_failure_as_own() { t_record.owner = kNoPrinter; }

void clear_notice() {
    t_notice_code = 0;
    t_notice[0] = '\0';
}

void set_notice(int code, const std::string &message) {
    t_notice_code = code;
    copy_cut(t_notice, message);
}

int last_notice_code() { return t_notice_code; }

const char *last_notice() { return t_notice; }

void reset_last_error_lock() { process_errors().reset_lock(); }

}  // namespace quillbar
