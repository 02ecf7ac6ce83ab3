// SPDX-License-Identifier: MIT
// Bar codes by name, in the API's own units: the line each one sends, the
// rule each refusal names, and what a reader makes of the printed code.
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "epl2_printer.h"
#include "bitmap.h"
#include "quillbar.h"
#include "support.h"

namespace {

// What one call sends through the default printer (a file), or its error.
struct Sent {
    int rc;
    std::string bytes;
    std::string message;
};

template <class Call>
Sent sent_by(Call call) {
    qbtest::TempDir dir;
    const std::string out = dir.file("out.epl");
    qbtest::open_port_on(1, out);
    Sent s;
    s.rc = call();
    s.message = s.rc ? QB_GetLastErrorMessage() : "";
    QB_PortClose();
    s.bytes = qbtest::read_file(out);
    return s;
}

// The bytes printed by the virtual printer and read back by zbar.
std::string decoded(const std::string &element) {
    quillbar::preview::VirtualPrinter printer;
    const std::string stream = "N\n" + element + "P1\n";
    printer.feed(stream.data(), stream.size());
    printer.finish();
    EXPECT_TRUE(printer.diagnostics().empty()) << printer.diagnostics()[0].message;
    auto labels = printer.take_labels();
    if (labels.empty()) return "(nothing printed)";
    qbtest::TempDir dir;
    const std::string png = dir.path() + "/code.png";
    if (!quillbar::preview::write_png(png, labels[0].image, 2)) return "(no picture)";
    return qbtest::zbar_decode(png);
}

// Whether the virtual printer refuses an element (on a label wide enough
// for any of these).
bool printer_refuses(const std::string &element) {
    quillbar::preview::VirtualPrinter printer;
    const std::string stream = "q4000\nN\n" + element + "\nP1\n";
    printer.feed(stream.data(), stream.size());
    printer.finish();
    return !printer.diagnostics().empty();
}

TEST(BarcodesByName, EachSymbologySendsItsSelectionAndReadsBack) {
    struct Row {
        const char *symbology;
        const char *data;
        int narrow, wide;
        const char *line;    // what goes out
        const char *reads;   // what zbar reads ("" for codes it cannot read); it gives
                             // UPC codes in their EAN-13 form, UPC-E expanded
    } rows[] = {
        {"EAN-13", "501234567890", 0, 0, "B40,80,0,E30,2,2,120,B,\"501234567890\"\n", "5012345678900"},
        {"ean13", "5012345678900", 3, 0, "B40,80,0,E30,3,3,120,B,\"501234567890\"\n", "5012345678900"},
        {"EAN-8", "9638507", 0, 0, "B40,80,0,E80,2,2,120,B,\"9638507\"\n", "96385074"},
        {"UPC-A", "03600029145", 0, 0, "B40,80,0,UA0,2,2,120,B,\"03600029145\"\n", "0036000291452"},
        {"UPC-E", "0425261", 0, 0, "B40,80,0,UE0,2,2,120,B,\"0425261\"\n", "0042100005264"},
        {"Code 128", "Hello-128", 0, 0, "B40,80,0,1,2,2,120,B,\"Hello-128\"\n", "Hello-128"},
        {"CODE128B", "say \"hi\"", 0, 0, "B40,80,0,1B,2,2,120,B,\"say \\\"hi\\\"\"\n", "say \"hi\""},
        {"CODE128C", "123456", 0, 0, "B40,80,0,1C,2,2,120,B,\"123456\"\n", "123456"},
        {"CODE39", "QB-1 $", 2, 5, "B40,80,0,3,2,5,120,B,\"QB-1 $\"\n", "QB-1 $"},
        {"CODE93", "CODE93", 0, 0, "B40,80,0,9,2,2,120,B,\"CODE93\"\n", "CODE93"},
        {"CODABAR", "A40156B", 0, 0, "B40,80,0,K,2,6,120,B,\"A40156B\"\n", "A40156B"},
        {"I2OF5", "12345670", 0, 0, "B40,80,0,2,2,6,120,B,\"12345670\"\n", "12345670"},
        {"GS1-128", "(01)09501101530003", 0, 0, "B40,80,0,1E,2,2,120,B,\"(01)09501101530003\"\n", ""},
        {"POSTNET", "12345-6789", 0, 0, "B40,80,0,P,2,2,120,B,\"12345-6789\"\n", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.symbology);
        const Sent s = sent_by([&] { return QB_PrintBarcodeByName(5, 10, 0, row.symbology, row.narrow, row.wide, 15, 1, row.data); });
        ASSERT_EQ(s.rc, 0) << s.message;
        EXPECT_EQ(s.bytes, row.line);
        if (*row.reads) {
            EXPECT_EQ(decoded(s.bytes), row.reads);
        }
    }
}

TEST(BarcodesByName, DataThePrinterWouldRefuseIsRefusedWithItsRule) {
    struct Row {
        const char *symbology;
        const char *data;
        int narrow, wide, height;
        const char *says;
    } rows[] = {
        {"EAN-13", "50123456789", 0, 0, 10, "12 digits"},
        {"EAN-13", "5012345678901", 0, 0, 10, "check digit is 0, not 1"},
        {"EAN-13", "50123456789A", 0, 0, 10, "12 digits"},
        {"EAN-13", "501234567890", 5, 0, 10, "2..4 dots, not 5"},
        {"EAN-13", "501234567890", 1, 0, 10, "2..4 dots, not 1"},
        {"UPC-E", "1425261", 0, 0, 10, "number system 0"},
        {"CODE128A", "lower", 0, 0, 10, "no lower-case"},
        {"CODE128C", "12345", 0, 0, 10, "even number of digits"},
        {"CODE128", "caf\xC3\xA9", 0, 0, 10, "not ASCII"},
        {"CODE39", "A", 11, 0, 10, "1..10 dots, not 11"},
        {"CODE39", "A", 4, 3, 10, "wider than the narrow"},
        {"CODE39", "A", 2, 31, 10, "not 2..30"},
        {"CODABAR", "A12X4B", 0, 0, 10, "Codabar takes digits"},
        {"I2OF5", "12a4", 0, 0, 10, "digits only"},
        {"GS1-128", "0109501101530003", 0, 0, 10, "application identifier"},
        {"POSTNET", "1234", 0, 0, 10, "5, 9, 11 or 13"},
        {"CODE39", "", 0, 0, 10, "empty"},
        {"CODE39", "A", 0, 0, 0, "height 0 mm"},
        {"CODE39", "A\nP1", 0, 0, 10, "line end"},
        {"KIX", "A", 0, 0, 10, "no symbology \"KIX\""},
        {nullptr, "A", 0, 0, 10, "symbology is NULL"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.symbology ? row.symbology : "(NULL)") + " " + row.data);
        const Sent s = sent_by([&] { return QB_PrintBarcodeByName(5, 10, 0, row.symbology, row.narrow, row.wide, row.height, 1, row.data); });
        EXPECT_EQ(s.rc, -1);
        EXPECT_EQ(s.bytes, "");
        EXPECT_NE(s.message.find(row.says), std::string::npos) << s.message;
    }
    EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PARAMETER);
}

// Data the printer refuses (here, the virtual printer) is refused by name
// too; the last length taken sits beside the first one refused.
TEST(BarcodesByName, RefusedWhereThePrinterRefusesTakenWhereItPrints) {
    const auto times = [](char c, std::size_t n) { return std::string(n, c); };
    struct Row {
        const char *symbology;
        std::string data;
        const char *selection;  // as the printer would get it
        const char *says;       // the refusal; "" when taken
    } rows[] = {
        {"UPC-E", "01234565", "UE0", ""},
        {"UPC-E", "01234560", "UE0", "check digit is 5, not 0"},
        {"CODE128", times('A', 60), "1", ""},
        {"CODE128", times('A', 61), "1", "at most 60"},
        {"CODE128", times('7', 120), "1", ""},
        {"CODE128", times('7', 122), "1", "at most 60"},
        {"CODE39", times('A', 85), "3", ""},
        {"CODE39", times('A', 86), "3", "at most 85"},
        {"CODE93", times('A', 108), "9", "at most 107"},
        {"CODABAR", "A" + times('1', 58) + "B", "K", ""},
        {"CODABAR", "A" + times('1', 59) + "B", "K", "at most 60"},
        {"I2OF5", times('1', 90), "2", ""},
        {"I2OF5", times('1', 92), "2", "at most 90"},
        {"GS1-128", "()", "1E", "not 2 to 4 digits"},
        {"GS1-128", "(01)123", "1E", "(01) takes 14 digits"},
        {"GS1-128", "(01)09501101530003(17)201231(10)AB-12", "1E", ""},
        {"GS1-128", "(90)" + times('1', 31), "1E", "at most 30"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << row.symbology << " " << row.data.substr(0, 24));
        const bool upc = row.selection[0] == 'U';
        const Sent s = sent_by([&] { return QB_PrintBarcodeByName(5, 10, 0, row.symbology, upc ? 2 : 1, upc ? 2 : 3, 10, 0, row.data.c_str()); });
        const std::string wire = std::string("B40,80,0,") + row.selection + (upc ? ",2,2" : ",1,3") + ",80,N,\"" + row.data + "\"";
        if (*row.says) {
            EXPECT_EQ(s.rc, -1);
            EXPECT_NE(s.message.find(row.says), std::string::npos) << s.message;
            EXPECT_TRUE(printer_refuses(wire)) << wire;
        } else {
            EXPECT_EQ(s.rc, 0) << s.message;
            EXPECT_FALSE(printer_refuses(s.bytes.substr(0, s.bytes.size() - 1))) << s.bytes;
        }
    }
}

TEST(BarcodesByName, TwoDimensionalCodes) {
    struct Row {
        const char *symbology;
        int module, level, width, height;
        std::string data;
        const char *line;  // "" when refused
        const char *says;  // what a refusal or a reader says
    } rows[] = {
        {"QR", 0, 0, 0, 0, "https://example.com/a", "b40,80,Q,s3,eM,\"https://example.com/a\"\n", "https://example.com/a"},
        {"qr", 5, 'H', 0, 0, "say \"q\"", "b40,80,Q,s5,eH,\"say \\\"q\\\"\"\n", "say \"q\""},
        {"DATAMATRIX", 0, 0, 0, 0, "DM-1", "b40,80,D,h5,\"DM-1\"\n", ""},
        {"PDF417", 0, -1, 50, 20, "PDF-1", "b40,80,P,400,160,\"PDF-1\"\n", ""},
        {"PDF417", 3, 4, 50, 20, "PDF-2", "b40,80,P,400,160,x3,s4,\"PDF-2\"\n", ""},
        {"QR", 0, 'X', 0, 0, "x", "", "'L', 'M', 'Q' or 'H'"},
        {"QR", 100, 0, 0, 0, "x", "", "1..99 dots"},
        {"QR", 0, 'H', 0, 0, std::string(1274, 'x'), "", "at most 1273"},
        {"QR", 0, 'L', 0, 0, std::string(7089, '7'), "b40,80,Q,s3,eL,\"", ""},
        {"DATAMATRIX", 0, 3, 0, 0, "x", "", "no error level"},
        {"PDF417", 0, 9, 50, 20, "x", "", "0..8 or -1"},
        {"PDF417", 0, 0, 0, 20, "x", "", "box it fits in"},
        {"AZTEC", 0, 0, 0, 0, "x", "", "QR, DATAMATRIX or PDF417"},
        // From x = 40 dots, with no label width set: the widest 203-dpi head (832 dots).
        {"QR", 37, 0, 0, 0, "x", "b40,80,Q,s37,eM,\"x\"\n", ""},
        {"QR", 38, 0, 0, 0, "x", "", "to at least 838, past the print head (832 dots)"},
        {"QR", 60, 0, 0, 0, "x", "", "wider than any print head"},
        {"QR", 99, 0, 0, 0, "x", "", "wider than any print head"},
        {"PDF417", 0, 8, 99, 100, std::string(498, 'x'), "b40,80,P,792,800,s8,\"", ""},
        {"PDF417", 0, 8, 99, 100, std::string(1000, 'x'), "", "at most 498"},
        {"PDF417", 0, 0, 99, 20, "x", "b40,80,P,792,160,s0,\"x\"\n", ""},
        {"PDF417", 0, 0, 100, 20, "x", "", "past the print head"},
        {"PDF417", 0, 0, 157, 20, "x", "", "wider than any print head"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.symbology) + " " + row.data.substr(0, 20));
        const Sent s = sent_by(
            [&] { return QB_Print2DBarcode(5, 10, row.symbology, row.module, row.level, row.width, row.height, row.data.c_str()); });
        if (!*row.line) {
            EXPECT_EQ(s.rc, -1);
            EXPECT_EQ(s.bytes, "");
            EXPECT_NE(s.message.find(row.says), std::string::npos) << s.message;
            continue;
        }
        ASSERT_EQ(s.rc, 0) << s.message;
        EXPECT_EQ(s.bytes.substr(0, std::string(row.line).size()), row.line);
        if (*row.says) {
            EXPECT_EQ(decoded(s.bytes), row.says);
        }
    }
    // A label width the caller set is the edge instead: a 300-dpi head is
    // let print wider, a narrower label cuts sooner.
    const struct {
        int label_mm, x_mm, width_mm;
        bool taken;
    } widths[] = {{156, 5, 151, true}, {156, 5, 152, false}, {100, 5, 95, true}, {100, 5, 96, false}};
    for (const auto &w : widths) {
        SCOPED_TRACE(testing::Message() << "label " << w.label_mm << " mm, PDF417 " << w.width_mm << " mm at " << w.x_mm);
        const Sent s = sent_by([&] {
            return QB_SetPaperSize(0, w.label_mm, -1, 0) != 0 ? -1 : QB_Print2DBarcode(w.x_mm, 10, "PDF417", 0, 0, w.width_mm, 20, "x");
        });
        EXPECT_EQ(s.rc, w.taken ? 0 : -1) << s.message;
        if (!w.taken) {
            EXPECT_NE(s.message.find("past the label width set"), std::string::npos) << s.message;
        }
    }
}

}  // namespace
