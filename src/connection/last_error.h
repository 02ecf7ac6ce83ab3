// The process-wide last-error code and its GB2312 messages.
#pragma once

namespace quillbar {

// Stores code as the last failure and returns -1, so that a failing export
// can end with `return fail(ERR_...)`.
int fail(int code);

// The code of the last failure, 0 before any.
int last_error_code();

// "CODE--MESSAGE" in GB2312 for the last failure, "" before any, in a buffer
// that stays valid for the life of the process.
const char *last_error_text();

}  // namespace quillbar
