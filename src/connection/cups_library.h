// SPDX-License-Identifier: MIT
// libcups, opened when a print-server route first opens: linking it would
// make every program that prints a label load it and the 40 libraries
// under it at start-up.
#pragma once

#include <cups/cups.h>

#include <string>

#include "connection/late_library.h"

namespace quillbar {

#define QB_CUPS_FUNCTIONS(X)                                                                                     \
    X(cupsDoRequest) X(cupsEncryption) X(cupsGetResponse) \
    X(cupsLastError) X(cupsLastErrorString) X(cupsSendRequest) X(cupsServer) X(cupsSetPasswordCB2)              \
    X(cupsSetServer) X(cupsUser) X(cupsWriteRequestData) X(httpClose) X(httpConnect2) X(httpError) X(httpGetFd) \
    X(httpSeparateURI) X(httpSetTimeout) X(ippAddString) X(ippAddStrings) X(ippDelete) X(ippFindAttribute) X(ippFindNextAttribute)      \
    X(ippGetBoolean) X(ippGetCount) X(ippGetInteger) X(ippGetStatusCode) X(ippGetString) X(ippLength)            \
    X(ippNewRequest) X(ippPort)

struct CupsLibrary {
    QB_CUPS_FUNCTIONS(QB_LATE_POINTER)
};

// The library's functions, loaded once and kept for the life of the process;
// null, with the reason in error, where libcups is not installed.
const CupsLibrary *load_cups(std::string &error);
// Only called on paths a successful load_cups() has opened.
const CupsLibrary &cups();

}  // namespace quillbar
