// SPDX-License-Identifier: MIT
// The operations the flat API and printer handles share (operations.def):
// each works on the printer of the current call.
#pragma once

#include <cstddef>

#include "quillbar.h"

namespace quillbar::op {

#define QB_OPERATION(name, params, args) int name params;
#define QB_OPERATION0(name) int name();
#define QB_OPERATION_UNLOCKED(name, code, params, args) int name params;
#define QB_EXPORT(name, params)
#include "operations.def"
#undef QB_OPERATION
#undef QB_OPERATION0
#undef QB_OPERATION_UNLOCKED
#undef QB_EXPORT

}  // namespace quillbar::op
