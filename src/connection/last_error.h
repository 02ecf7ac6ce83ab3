// SPDX-License-Identifier: MIT
// Last errors: a code, the GB2312 text callers have always received, and a
// UTF-8 message that says what went wrong and why. The flat API keeps one
// process-wide store; each printer handle keeps its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>

namespace quillbar {

constexpr std::size_t kErrorTextSize = 1024;

// One last failure: written by failing calls, copied out under its own
// small lock. Plain arrays, so a store that lives for the process is never
// destroyed.
class ErrorStore {
public:
    void set(int code, const std::string &message);
    int code() const { return code_.load(std::memory_order_relaxed); }
    // Copies the message (kErrorTextSize bytes, NUL-terminated) into out.
    void copy_message(char *out) const;
    // After fork(), in the child: the lock may have been copied held.
    void reset_lock() { new (&lock_) std::mutex; }

private:
    mutable std::mutex lock_;
    std::atomic<int> code_{0};
    char message_[kErrorTextSize] = {};
};

// The flat API's store, for the process.
ErrorStore &process_errors();

// Where this thread's failures go while a call works on a printer: set by
// the guard for the length of the call (owner 0 is the flat API's printer,
// kNoPrinter a call that works on none). Outside any call they go to the
// process store.
constexpr std::uint64_t kNoPrinter = ~std::uint64_t{0} - 1;
struct ErrorTarget {
    ErrorStore *store;
    std::uint64_t owner;
};
ErrorTarget exchange_error_target(ErrorTarget target);

// Stores code as the last failure with a message that names its cause
// ("cannot open /dev/ttyUSB0: Permission denied"), or the code's plain
// meaning when cause is empty, and returns -1, so that a failing export can
// end with `return fail(ERR_..., ...)`. The message is cut at a character
// boundary when it is longer than the store holds.
int fail(int code, const std::string &cause = {});

// fail(ERR_PARAMETER) with a printf-style message.
#if defined(__clang__)
int fail_parameter(const char *format, ...) __attribute__((format(printf, 1, 2)));
#else
int fail_parameter(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
#endif

// The last failure as the flat API reports it: the calling thread's own
// when its last failure was one no printer holds (kNoPrinter), otherwise
// the process store's (another thread's flat failures included). The code,
// 0 before any; "CODE--MESSAGE" in GB2312, "" before any; and the UTF-8
// message. Each thread reads its own copy: no other thread's failure
// changes it under the caller; the calling thread's next call rewrites it.
int last_error_code();
const char *last_error_text();
const char *last_error_message();

// A printer's last failure as the calling thread sees it: the thread's own
// last failure on that printer when it had one since its last failure
// elsewhere, else the printer's last by any thread. Same copy rule.
int printer_error_code(const ErrorStore &store, std::uint64_t owner);
const char *printer_error_message(const ErrorStore &store, std::uint64_t owner);

// How many failures the calling thread has had: a call compares it before
// and after to know whether it failed.
std::uint64_t failures_in_this_thread();
// Makes the calling thread's last failure one no printer holds, so that the
// flat API's readers give it: for a call whose handle was closed meanwhile.
void keep_last_failure_as_own();

// Notices: what a call that succeeded has to say (a close whose last bytes
// the printer had not confirmed). The calling thread's own: a call that can
// leave one clears it first, with clear_notice(); the thread reads it until
// its next such call. Code 0 and "" when there is none.
void clear_notice();
void set_notice(int code, const std::string &message);
int last_notice_code();
const char *last_notice();

// After fork(), in the child: the process store's lock may have been copied held.
void reset_last_error_lock();

}  // namespace quillbar
