// SPDX-License-Identifier: MIT
// The calls table the C#, Node.js and Python bindings are tested against
// (bindings/calls.json), checked against the C API itself: each row's call
// on a handle to a file sends the bytes the row says, or fails with its code
// and sends nothing. A row that is wrong fails here, not in a binding.
#include <iconv.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "quillbar.h"
#include "support.h"

namespace {

using nlohmann::json;

// UTF-8 text as another code page ("LATIN1", "GBK").
std::string encoded(const std::string &utf8, const char *to) {
    iconv_t cd = iconv_open(to, "UTF-8");
    std::string out(utf8.size() * 2 + 4, '\0');
    char *in = const_cast<char *>(utf8.data()), *o = out.data();
    std::size_t in_left = utf8.size(), out_left = out.size();
    const std::size_t rc = iconv(cd, &in, &in_left, &o, &out_left);
    iconv_close(cd);
    EXPECT_NE(rc, static_cast<std::size_t>(-1)) << utf8;
    out.resize(out.size() - out_left);
    return out;
}

using Call = std::function<int(QB_Printer *, const json &)>;

int n(const json &args, int i) { return args.at(i).get<int>(); }
std::string t(const json &args, int i, const char *code_page = "LATIN1") {
    return encoded(args.at(i).get<std::string>(), code_page);
}

const std::map<std::string, Call> &calls() {
    static const std::map<std::string, Call> table = {
        {"SetPrinterComSpeed", [](QB_Printer *p, const json &a) { return QB_PrinterSetPrinterComSpeed(p, n(a, 0)); }},
        {"SetPrinterComDots", [](QB_Printer *p, const json &a) { return QB_PrinterSetPrinterComDots(p, n(a, 0)); }},
        {"SetDarkness", [](QB_Printer *p, const json &a) { return QB_PrinterSetDarkness(p, n(a, 0)); }},
        {"SetPrintSpeed", [](QB_Printer *p, const json &a) { return QB_PrinterSetPrintSpeed(p, n(a, 0)); }},
        {"SetPrintXY", [](QB_Printer *p, const json &a) { return QB_PrinterSetPrintXY(p, n(a, 0), n(a, 1)); }},
        {"SetPrintFeedDim", [](QB_Printer *p, const json &a) { return QB_PrinterSetPrintFeedDim(p, n(a, 0)); }},
        {"SetPaperSize",
         [](QB_Printer *p, const json &a) { return QB_PrinterSetPaperSize(p, n(a, 0), n(a, 1), n(a, 2), n(a, 3)); }},
        {"SetClear", [](QB_Printer *p, const json &) { return QB_PrinterSetClear(p); }},
        {"SetInitialize", [](QB_Printer *p, const json &a) { return QB_PrinterSetInitialize(p, n(a, 0), n(a, 1), n(a, 2)); }},
        {"SetPrintBack", [](QB_Printer *p, const json &a) { return QB_PrinterSetPrintBack(p, n(a, 0)); }},
        {"PrintLine", [](QB_Printer *p, const json &a) { return QB_PrinterPrintLine(p, n(a, 0), n(a, 1), n(a, 2), n(a, 3)); }},
        {"PrintBox",
         [](QB_Printer *p, const json &a) { return QB_PrinterPrintBox(p, n(a, 0), n(a, 1), n(a, 2), n(a, 3), n(a, 4)); }},
        {"PrintCharacter",
         [](QB_Printer *p, const json &a) {
             return QB_PrinterPrintCharacter(p, n(a, 0), n(a, 1), n(a, 2), n(a, 3), n(a, 4), n(a, 5), n(a, 6), t(a, 7).c_str());
         }},
        {"PrintBarcode",
         [](QB_Printer *p, const json &a) {
             return QB_PrinterPrintBarcode(p, n(a, 0), n(a, 1), n(a, 2), n(a, 3), n(a, 4), n(a, 5), n(a, 6), n(a, 7),
                                           t(a, 8).c_str());
         }},
        {"PrintBarcodeByName",
         [](QB_Printer *p, const json &a) {
             return QB_PrinterPrintBarcodeByName(p, n(a, 0), n(a, 1), n(a, 2), t(a, 3).c_str(), n(a, 4), n(a, 5), n(a, 6),
                                                 n(a, 7), t(a, 8).c_str());
         }},
        {"Print2DBarcode",
         [](QB_Printer *p, const json &a) {
             return QB_PrinterPrint2DBarcode(p, n(a, 0), n(a, 1), t(a, 2).c_str(), n(a, 3), n(a, 4), n(a, 5), n(a, 6),
                                             t(a, 7).c_str());
         }},
        {"PrintChineseStr",
         [](QB_Printer *p, const json &a) {
             return QB_PrinterPrintChineseStr(p, n(a, 0), n(a, 1), n(a, 2), n(a, 3), n(a, 4), n(a, 5), t(a, 6, "GBK").c_str());
         }},
        {"Print", [](QB_Printer *p, const json &a) { return QB_PrinterPrint(p, n(a, 0)); }},
        {"SendCommand", [](QB_Printer *p, const json &a) { return QB_PrinterSendCommand(p, t(a, 0).c_str()); }},
        {"PrintMemGraphics",
         [](QB_Printer *p, const json &a) { return QB_PrinterPrintMemGraphics(p, n(a, 0), n(a, 1), t(a, 2).c_str()); }},
        {"DeleteMemGraphics", [](QB_Printer *p, const json &a) { return QB_PrinterDeleteMemGraphics(p, t(a, 0).c_str()); }},
    };
    return table;
}

TEST(BindingsTable, EveryRowIsWhatTheCApiDoes) {
    std::ifstream file(QUILLBAR_CALLS_TABLE);
    const json table = json::parse(file);
    ASSERT_GT(table.at("calls").size(), 20u);
    std::size_t i = 0;
    for (const json &row : table.at("calls")) {
        SCOPED_TRACE(testing::Message() << "row " << i++ << ": " << row.dump());
        const auto call = calls().find(row.at("call").get<std::string>());
        ASSERT_NE(call, calls().end()) << "no C call for this row";
        qbtest::TempDir dir;
        const std::string out = dir.file("out.epl");
        QB_Printer *p = QB_PrinterOpen(out.c_str(), 0);
        ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
        const int rc = call->second(p, row.at("args"));
        const int code = QB_PrinterGetLastErrorCode(p);
        ASSERT_EQ(QB_PrinterClose(p), 0);
        const std::string sent = qbtest::read_file(out);
        if (row.contains("error")) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(code, row.at("error").get<int>());
            EXPECT_EQ(sent, "");
        } else if (row.contains("bytes_prefix")) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(sent.compare(0, row.at("bytes_prefix").get<std::string>().size(), row.at("bytes_prefix").get<std::string>()), 0)
                << sent.substr(0, 20);
            EXPECT_EQ(sent.size(), row.at("bytes_length").get<std::size_t>());
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(sent, encoded(row.at("bytes").get<std::string>(), "LATIN1"));
        }
    }
}

// {picture} in a row's text stands for the picture's full path.
std::string with_picture(std::string text, const std::string &picture) {
    for (std::size_t at; (at = text.find("{picture}")) != std::string::npos;) text.replace(at, 9, picture);
    return text;
}

void collect(const char *text, void *context) { static_cast<std::vector<std::string> *>(context)->push_back(text); }

// The handler's text and the reasons, with a non-ASCII path: on POSIX the
// path's bytes as given (UTF-8), what every binding decodes them as.
TEST(BindingsTable, HandlerTextAndReasonsAreUtf8) {
    std::ifstream file(QUILLBAR_CALLS_TABLE);
    const json table = json::parse(file);
    ASSERT_GE(table.at("messages").size(), 2u);
    std::size_t i = 0;
    for (const json &row : table.at("messages")) {
        SCOPED_TRACE(testing::Message() << "row " << i++ << ": " << row.dump());
        qbtest::TempDir dir;
        const std::string picture = dir.path() + "/" + row.at("picture").get<std::string>();
        ASSERT_EQ(::mkdir(picture.substr(0, picture.rfind('/')).c_str(), 0700), 0);
        if (row.contains("content")) std::ofstream(picture) << row.at("content").get<std::string>();
        QB_Printer *p = QB_PrinterOpen(dir.file("out.epl").c_str(), 0);
        ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
        std::vector<std::string> shown;
        QB_PrinterSetMessageHandler(p, collect, &shown);
        const int rc = QB_PrinterDownPicture(p, picture.c_str(), row.at("name").get<std::string>().c_str());
        const std::string reason = QB_PrinterGetLastErrorMessage(p);
        QB_PrinterClose(p);
        std::vector<std::string> expected;
        for (const json &text : row.at("shown")) expected.push_back(with_picture(text.get<std::string>(), picture));
        EXPECT_EQ(shown, expected);
        if (row.contains("reason_has")) {
            EXPECT_EQ(rc, -1);
            EXPECT_NE(reason.find(with_picture(row.at("reason_has").get<std::string>(), picture)), std::string::npos) << reason;
        } else {
            EXPECT_EQ(rc, 0) << reason;
        }
    }
}

}  // namespace
