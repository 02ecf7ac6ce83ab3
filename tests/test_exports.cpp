// SPDX-License-Identifier: MIT
// The shared library's symbol table: the QB_ functions and nothing of ours
// besides.
#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

std::set<std::string> defined_dynamic_symbols(const std::string &library) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only " + library;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    pclose(pipe);
    return names;
}

TEST(SharedLibrary, ExportsExactlyTheQbFunctions) {
    const std::set<std::string> expected = {
        "QB_PortOpen",       "QB_PortClose",        "QB_PortSetDevice",   "QB_GetLastError",
        "QB_GetLastErrorCode", "QB_SetPrinterComSpeed", "QB_SetPrinterComDots", "QB_SetDarkness",
        "QB_SetPrintSpeed",  "QB_SetPrintXY",       "QB_SetPrintFeedDim", "QB_SetPaperSize",
        "QB_SetClear",       "QB_SetInitialize",    "QB_SetPrintBack",    "QB_PrintLine",
        "QB_PrintBox",       "QB_PrintCharacter",   "QB_PrintBarcode",    "QB_Print",
        "QB_PrintChineseStr", "QB_SetMessageHandler", "QB_DownPicture",   "QB_PrintMemGraphics", "QB_DeleteMemGraphics",
        "QB_GetLastErrorMessage", "QB_GetVersion",   "QB_SendCommand",     "QB_SendBytes",
    };
    // Every one under the library's version node, and the node itself.
    std::set<std::string> versioned = {"LIBQUILLBAR_0"};
    for (const std::string &name : expected) versioned.insert(name + "@@LIBQUILLBAR_0");
    EXPECT_EQ(defined_dynamic_symbols(QUILLBAR_SHARED_LIBRARY), versioned);
}

}  // namespace
