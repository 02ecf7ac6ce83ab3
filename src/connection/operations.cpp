// SPDX-License-Identifier: MIT
// The exports of every shared operation, generated from its one row: the
// flat QB_<Name> on the default printer and QB_Printer<Name> on a handle.
#include "connection/operations.h"

#include "connection/guard.h"

using namespace quillbar;

#define QB_PARAMETERS(...) __VA_ARGS__

extern "C" {

#define QB_OPERATION(name, params, args)                                                                 \
    QB_API int QB_CALL QB_##name params { return guarded([&] { return op::name args; }); }               \
    QB_API int QB_CALL QB_Printer##name(QB_Printer *printer, QB_PARAMETERS params) {                     \
        return on_handle(printer, Locking::whole_call, [&] { return op::name args; });                   \
    }
#define QB_OPERATION0(name)                                                                              \
    QB_API int QB_CALL QB_##name(void) { return guarded([&] { return op::name(); }); }                   \
    QB_API int QB_CALL QB_Printer##name(QB_Printer *printer) {                                           \
        return on_handle(printer, Locking::whole_call, [&] { return op::name(); });                      \
    }
#define QB_OPERATION_UNLOCKED(name, code, params, args)                                                  \
    QB_API int QB_CALL QB_##name params { return unlocked_guarded([&] { return op::name args; }, code); } \
    QB_API int QB_CALL QB_Printer##name(QB_Printer *printer, QB_PARAMETERS params) {                     \
        return on_handle(printer, Locking::by_the_body, [&] { return op::name args; }, code);            \
    }
#define QB_EXPORT(name, params)
#include "operations.def"

}  // extern "C"
