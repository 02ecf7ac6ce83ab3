// SPDX-License-Identifier: MIT
// The shared library's symbol table: the QB_ functions of the one list of
// exports and nothing of ours besides.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
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

// Every export the one list names: QB_<Name> for an export of its own, and
// QB_<Name> with QB_Printer<Name> for an operation the two APIs share.
std::set<std::string> listed_exports() {
    std::set<std::string> names;
    std::ifstream list(QUILLBAR_OPERATIONS_FILE);
    const std::regex row(R"(^QB_(EXPORT|OPERATION0|OPERATION|OPERATION_UNLOCKED)\(([A-Za-z0-9]+))");
    std::smatch m;
    for (std::string line; std::getline(list, line);) {
        if (!std::regex_search(line, m, row)) continue;
        names.insert("QB_" + m[2].str());
        if (m[1] != "EXPORT") names.insert("QB_Printer" + m[2].str());
    }
    return names;
}

TEST(SharedLibrary, ExportsExactlyTheListedFunctions) {
    const std::set<std::string> expected = listed_exports();
    // The flat API of old is all there, and each operation has its handle form.
    for (const char *name : {"QB_PortOpen", "QB_PortClose", "QB_SetPrinterComDots", "QB_PrintChineseStr", "QB_DownPicture",
                             "QB_PrinterPrintChineseStr", "QB_PrinterSetClear", "QB_PrinterOpen", "QB_GetPrinterStatus"})
        EXPECT_EQ(expected.count(name), 1u) << name;
    EXPECT_EQ(expected.size(), 16u + 2 * 24u);
    // The header declares each of them.
    std::ifstream header(QUILLBAR_HEADER);
    const std::string declared((std::istreambuf_iterator<char>(header)), std::istreambuf_iterator<char>());
    for (const std::string &name : expected)
        EXPECT_TRUE(std::regex_search(declared, std::regex("QB_CALL " + name + "\\(")))
            << name << " is not declared in quillbar.h";
    // Every one under the library's version node, and the node itself.
    std::set<std::string> versioned = {"LIBQUILLBAR_0"};
    for (const std::string &name : expected) versioned.insert(name + "@@LIBQUILLBAR_0");
    EXPECT_EQ(defined_dynamic_symbols(QUILLBAR_SHARED_LIBRARY), versioned);
}

}  // namespace
