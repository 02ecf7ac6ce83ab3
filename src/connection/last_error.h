// SPDX-License-Identifier: MIT
// The process-wide last error: its code, the GB2312 text callers have always
// received, and a UTF-8 message that says what went wrong and why.
#pragma once

#include <string>

namespace quillbar {

// Stores code as the last failure with a message that names its cause
// ("cannot open /dev/ttyUSB0: Permission denied"), or the code's plain
// meaning when cause is empty, and returns -1, so that a failing export can
// end with `return fail(ERR_..., ...)`.
int fail(int code, const std::string &cause = {});

// fail(ERR_PARAMETER) with a printf-style message.
#if defined(__clang__)
int fail_parameter(const char *format, ...) __attribute__((format(printf, 1, 2)));
#else
int fail_parameter(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
#endif

// The code of the last failure, 0 before any.
int last_error_code();

// "CODE--MESSAGE" in GB2312 for the last failure, "" before any. Each thread
// reads its own copy: no other thread's failure changes it under the caller;
// the calling thread's next call rewrites it.
const char *last_error_text();

// The UTF-8 message of the last failure, "" before any; the same per-thread
// copy rule.
const char *last_error_message();

// After fork(), in the child: the store's lock may have been copied held.
void reset_last_error_lock();

}  // namespace quillbar
