// SPDX-License-Identifier: MIT
// The virtual printer on EPL2 as other software writes it: raster jobs of
// the Unix label drivers, generators' settings, what printers forgive,
// every bar code, forms with variables and counters, and replies.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bounds.h"
#include "epl2_printer.h"
#include "support.h"

namespace {

using namespace std::string_literals;

using quillbar::preview::Bitmap;
using quillbar::preview::VirtualPrinter;

struct Outcome {
    std::vector<quillbar::preview::PrintedLabel> labels;
    std::vector<quillbar::preview::Diagnostic> diagnostics;
    std::string events;   // every event's detail, one a line
    std::string replies;
    std::map<std::string, std::string> settings;
};

Outcome run(const std::string &stream, std::size_t chunk = 0,
            VirtualPrinter::Options options = VirtualPrinter::Options{quillbar::preview::limits::kDefaultMaxLabels}) {
    VirtualPrinter printer(options);
    Outcome r;
    printer.on_reply([&](const std::string &text) { r.replies += text; });
    for (std::size_t at = 0; at < stream.size(); at += chunk ? chunk : stream.size())
        printer.feed(stream.data() + at, std::min(chunk ? chunk : stream.size(), stream.size() - at));
    printer.finish();
    r.labels = printer.take_labels();
    r.diagnostics = printer.diagnostics();
    for (const auto &e : printer.events()) r.events += e.command + ": " + e.detail + "\n";
    r.settings = printer.settings();
    return r;
}

std::string first_problem(const Outcome &r) { return r.diagnostics.empty() ? "" : r.diagnostics[0].message; }

long ink(const Bitmap &b, long x0, long y0, long x1, long y1) {
    long n = 0;
    for (long y = y0; y < y1; ++y)
        for (long x = x0; x < x1; ++x) n += b.black(x, y);
    return n;
}

// A raster job as the Unix label drivers write it: one GW a row, the data
// after a line end, rows whose bytes look like commands and line ends.
TEST(Interpreter, RasterJobsRenderTheirPictureWhateverTheSeparator) {
    const int width_bytes = 8, rows = 40;
    std::vector<std::string> data(rows);
    for (int y = 0; y < rows; ++y)
        for (int b = 0; b < width_bytes; ++b)
            data[y] += static_cast<char>(b == 0 ? "NPqX\n,\"\r"[y % 8] : (y * 37 + b * 11) & 0xFF);
    for (const char *separator : {"\n", "\r\n", ","}) {
        SCOPED_TRACE(separator[0] == ',' ? "comma" : separator[0] == '\r' ? "CR LF" : "LF");
        std::string stream = "\nN\nq64\nQ40,0\n";
        for (int y = 0; y < rows; ++y)
            stream += "GW0," + std::to_string(y) + "," + std::to_string(width_bytes) + ",1" + separator + data[y] + "\n";
        stream += "P1\n";
        for (std::size_t chunk : {std::size_t{0}, std::size_t{7}}) {
            const Outcome r = run(stream, chunk);
            ASSERT_EQ(r.labels.size(), 1u) << first_problem(r);
            EXPECT_EQ(first_problem(r), "");
            long differ = 0;
            for (int y = 0; y < rows; ++y)
                for (int x = 0; x < width_bytes * 8; ++x)
                    differ += r.labels[0].image.black(x, y) != !((data[y][x / 8] >> (7 - x % 8)) & 1);
            EXPECT_EQ(differ, 0);
        }
    }
}

// Settings a generator sends: kept, reported, and never a diagnostic. ZB
// prints the picture turned 180 degrees.
TEST(Interpreter, GeneratorSettingsAreKeptAndZbTurnsThePicture) {
    const std::string stream =
        "; made by a label generator\r\nI8,A,001\r\nOD\r\nrN\r\nJF\r\nWN\r\nZB\r\nS3\r\nD10\r\nf100\r\nQ400,24\r\n"
        "q200\r\nM\r\nxa\r\noR\r\nTS01,02,26,10,00,00\r\nUN\r\neR$,2\r\ni0\r\nN\r\nLO0,0,10,10\r\nP1\r\n";
    const Outcome r = run(stream);
    EXPECT_EQ(first_problem(r), "");
    ASSERT_EQ(r.labels.size(), 1u);
    const Bitmap &b = r.labels[0].image;
    EXPECT_EQ(ink(b, 190, 390, 200, 400), 100);  // the top-left square, turned
    EXPECT_EQ(ink(b, 0, 0, 10, 10), 0);
    EXPECT_EQ(r.settings.at("direction"), "ZB");
    EXPECT_EQ(r.settings.at("options"), "D");
    EXPECT_EQ(r.settings.at("character set"), "I8,A,001");
    EXPECT_EQ(r.settings.at("density"), "10");
}

// A 1-bit PCX of one dot.
const std::string kOneDotPcx = [] {
    std::string h(128, '\0');
    h[0] = 0x0A, h[1] = 5, h[2] = 1, h[3] = 1, h[65] = 1, h[66] = 2;
    return h + "\xff\xff";
}();

// The label's size as printers have it: the media's where the stream sets
// none, q and Q where it does, and R the full print width whatever q said.
TEST(Interpreter, LabelGeometryIsThePrintersOwn) {
    const struct {
        const char *what;
        std::string stream;
        VirtualPrinter::Options options;
        int width, length;
        long x, y;  // a dot that must be black
    } rows[] = {
        {"4 x 6 inch media, no q, no Q", "N\nLO0,1217,812,1\nP1\n", {1000}, 812, 1218, 811, 1217},
        {"other media", "N\nLO0,1199,800,1\nP1\n", {1000, 800, 1200}, 800, 1200, 799, 1199},
        {"q and Q", "q400\nQ240,24\nN\nLO0,239,400,1\nP1\n", {1000}, 400, 240, 399, 239},
        {"R after q: the full print width", "q812\nR5,140\nN\nLO810,0,2,10\nP1\n", {1000}, 832, 1218, 816, 140},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome r = run(row.stream, 0, row.options);
        EXPECT_EQ(first_problem(r), "");
        ASSERT_EQ(r.labels.size(), 1u);
        EXPECT_EQ(r.labels[0].image.width(), row.width);
        EXPECT_EQ(r.labels[0].image.height(), row.length);
        EXPECT_TRUE(r.labels[0].image.black(row.x, row.y));
    }
}

// What printers forgive is drawn, and noted in the report (NUL bytes and
// blanks after the last line too).
TEST(Interpreter, LeniencyDrawsAndSaysSo) {
    const struct {
        const char *what;
        std::string line;
        const char *noted;
        long x0, y0, x1, y1, dots;  // ink expected inside this box
    } rows[] = {
        {"trailing blanks", "LO10,10,20,20 \t", "trailing blanks", 10, 10, 30, 30, 400},
        {"Q length only", "Q300", "length only", 0, 0, 0, 0, 0},
        {"Q offset joined", "Q300,24+16", "", 0, 0, 0, 0, 0},
        {"Q offset a field", "Q300,B24,-16", "offset given", 0, 0, 0, 0, 0},
        {"X end corner first", "X60,60,2,40,40", "corners", 40, 40, 60, 60, 4 * 20 * 2 - 4 * 4},
        {"P1,0", "", "prints as one copy", 0, 0, 0, 0, 0},
        {"unescaped quote", "A10,10,0,1,1,1,N,\"say \"hi\"\"", "unescaped quote", 10, 10, 130, 24, -1},
        {"indented", "  \tLO10,10,20,20", "indented by blanks", 10, 10, 30, 30, 400},
        {"blank before quoted data", "A10,10,0,1,1,1,N, \"HELLO\"", "blank before the quoted data", 10, 10, 130, 24, -1},
        {"comment after the values", "LO10,10,20,20; a box", "comment after the values", 10, 10, 30, 30, 400},
        {"semicolon inside quotes", "A10,10,0,1,1,1,N,\"AB;CDE\"", "", 10, 10, 130, 24, -1},
        {"LF CR line ends", "\rLO10,10,20,20\n\r", "LF CR line ends", 10, 10, 30, 30, 400},
        {"GM with a comma", "GM\"G\"," + std::to_string(kOneDotPcx.size()) + "\n" + kOneDotPcx + "GG10,10,\"G\"",
         "comma before the size", 0, 0, 0, 0, 0},
        {"multipliers 0,0", "A10,10,0,1,0,0,N,\"HELLO\"", "multiplier 0 taken as 1 (horizontal and vertical)", 10, 10, 60, 24, -1},
        {"multiplier 0 one way", "A10,10,0,1,2,0,N,\"HELLO\"", "multiplier 0 taken as 1 (vertical)", 10, 10, 110, 24, -1},
        {"wider than the head", "q3200\nLO800,10,32,10", "cut at the head's width", 800, 10, 832, 20, 320},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string print = std::string(row.what) == "P1,0" ? "P1,0\n" : "P1\n";
        const Outcome r = run("N\n" + row.line + "\n" + print + "\0\0 "s);
        EXPECT_EQ(first_problem(r), "");
        ASSERT_EQ(r.labels.size(), 1u);
        if (*row.noted) { EXPECT_NE(r.events.find(row.noted), std::string::npos) << r.events; }
        if (row.dots > 0) { EXPECT_EQ(ink(r.labels[0].image, row.x0, row.y0, row.x1, row.y1), row.dots); }
        if (row.dots < 0) { EXPECT_GT(ink(r.labels[0].image, row.x0, row.y0, row.x1, row.y1), 50); }
    }
}

// What the printer cannot print whole is cut or corrected, never silently:
// a label wider than the head is the head's width; a shipping container
// code's wrong check digit is noted.
// q, Q and R after objects format the image buffer anew, as printers do:
// the objects are gone, and the diagnostics say how many.
TEST(Interpreter, ObjectsDiscardedByAFormattedBufferAreCounted) {
    const struct {
        const char *stream;
        const char *says;  // "" when nothing was discarded
    } rows[] = {
        {"N\nA10,10,0,4,1,1,N,\"x\"\nLO1,1,5,5\nq400\nP1\n", "q: the image buffer is formatted anew: discarded 2 object(s)"},
        {"N\nLO1,1,5,5\nQ300,24\nP1\n", "Q: the image buffer is formatted anew: discarded 1 object(s)"},
        {"q400\nN\nLO1,1,5,5\nR5,5\nP1\n", "R: the image buffer is formatted anew: discarded 1 object(s)"},
        {"q400\nQ300,24\nN\nLO1,1,5,5\nP1\n", ""},
        {"N\nLO1,1,5,5\nP1\nq400\n", ""},  // printed before: nothing lost
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].stream);
        const Outcome r = run(rows[i].stream);
        if (*rows[i].says) {
            EXPECT_NE(first_problem(r).find(rows[i].says), std::string::npos) << first_problem(r);
        } else {
            EXPECT_EQ(first_problem(r), "");
        }
    }
}

TEST(Interpreter, WhatIsCutOrCorrectedIsNoted) {
    for (const char *density : {"8", "12"}) {
        SCOPED_TRACE(density);
        quillbar::preview::VirtualPrinter::Options o{quillbar::preview::limits::kDefaultMaxLabels};
        o.dots_per_mm = std::atoi(density);
        quillbar::preview::VirtualPrinter printer(o);
        const std::string stream = "q3200\nN\nLO0,0,3200,10\nP1\n";
        printer.feed(stream.data(), stream.size());
        printer.finish();
        auto labels = printer.take_labels();
        ASSERT_EQ(labels.size(), 1u);
        EXPECT_EQ(labels[0].image.width(), quillbar::preview::VirtualPrinter::print_width(o.dots_per_mm));
    }
    const Outcome r = run("N\nB40,40,0,0,2,6,80,B,\"123456789012345670\"\nP1\n");
    ASSERT_EQ(r.labels.size(), 1u);
    EXPECT_NE(r.events.find("check digit 0 replaced by 5"), std::string::npos) << r.events;
}

// Resident fonts advance by their cell and a one-dot border on each side.
TEST(Interpreter, ResidentFontsAdvanceAsPrintersLayThemOut) {
    const struct {
        int font, h;
        long advance;
    } rows[] = {{1, 1, 10}, {2, 1, 12}, {3, 1, 14}, {4, 1, 16}, {5, 1, 36}, {1, 2, 20}, {3, 3, 42}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.font);
        const Outcome r = run("q800\nN\nA0,0,0," + std::to_string(row.font) + "," + std::to_string(row.h) +
                          ",1,N,\"IIIIIIIIII\"\nP1\n");
        ASSERT_EQ(r.labels.size(), 1u) << first_problem(r);
        const Bitmap &b = r.labels[0].image;
        long right = -1;
        for (long x = 0; x < b.width(); ++x)
            if (ink(b, x, 0, x + 1, 60 * 9) > 0) right = x;
        // Ten characters: the last ink lies inside the tenth advance.
        EXPECT_GE(right, 9 * row.advance);
        EXPECT_LT(right, 10 * row.advance);
    }
}

std::string zbar(const Bitmap &image) {
    qbtest::TempDir dir;
    const std::string png = dir.path() + "/code.png";
    if (!quillbar::preview::write_png(png, image, 2)) return "(no picture)";
    return qbtest::zbar_decode(png);
}

std::string zxing(const Bitmap &image) {
    qbtest::TempDir dir;
    const std::string png = dir.path() + "/code.png";
    if (!quillbar::preview::write_png(png, image, 1)) return "(no picture)";
    return qbtest::zxing_decode(png);
}

// The width of the ink on the picture, in dots.
long ink_width(const Bitmap &b) {
    long left = b.width(), right = -1;
    for (long y = 0; y < b.height(); ++y)
        for (long x = 0; x < b.width(); ++x)
            if (b.black(x, y)) left = std::min(left, x), right = std::max(right, x);
    return right < 0 ? 0 : right - left + 1;
}

// Every selection of the guide's table is drawn as printers draw it: a
// reader decodes it to its data (with the check digits the printer adds),
// and where the printer's choice shows in the size, the size is checked.
TEST(Interpreter, EveryBarCodeIsDrawnAsPrintersDrawIt) {
    enum Reader { none, zbar_reads, zxing_reads };
    const struct {
        const char *code;
        Reader reader;
        const char *decoded;
        long width;  // the symbol's width in dots, 0 for no check
    } rows[] = {
        // The shipping container code: 17 digits, 18 with the check digit
        // (a wrong one printed corrected, with a note), 20 with AI 00.
        {"B40,40,0,0,2,6,80,B,\"12345678901234567\"", zbar_reads, "00123456789012345675", 0},
        {"B40,40,0,0,2,6,80,B,\"123456789012345675\"", zbar_reads, "00123456789012345675", 0},
        {"B40,40,0,0,2,6,80,B,\"123456789012345670\"", zbar_reads, "00123456789012345675", 0},
        {"B40,40,0,0,2,6,80,B,\"00123456789012345675\"", zbar_reads, "00123456789012345675", 0},
        {"B40,40,0,1,2,6,80,B,\"QB-1234\"", zbar_reads, "QB-1234", 0},
        // Subsets as forced: A keeps every character in A (start, 7, check,
        // stop: 9 x 11 + 13 modules), C takes the digits two at a time.
        {"B40,40,0,1A,2,6,80,N,\"QB-1234\"", zbar_reads, "QB-1234", 224},
        {"B40,40,0,1B,2,6,80,B,\"qb-1234\"", zbar_reads, "qb-1234", 0},
        {"B40,40,0,1C,2,6,80,N,\"12345678\"", zbar_reads, "12345678", 158},
        // Single-width codes do not read the wide-bar field: 1 or empty.
        {"B40,40,0,1,2,1,80,N,\"QB-1234\"", zbar_reads, "QB-1234", 202},
        {"B40,40,0,1,2,,80,N,\"QB-1234\"", zbar_reads, "QB-1234", 202},
        {"B40,40,0,1D,2,6,80,B,\"AB12345678DE\"", zbar_reads, "AB12345678DE", 0},
        {"B40,40,0,1E,2,6,80,B,\"(01)09501101530008\"", zbar_reads, "0109501101530008", 0},
        // UCC/EAN-128 without brackets still has FNC1 after the start: one
        // symbol character (22 dots) more than Code 128 of the same data.
        {"B40,40,0,1E,2,6,80,N,\"0109501101530008\"", zbar_reads, "0109501101530008", 22 + 2 * (10 * 11 + 13)},
        {"B40,40,0,1,2,6,80,N,\"0109501101530008\"", zbar_reads, "0109501101530008", 2 * (10 * 11 + 13)},
        {"B40,40,0,3,2,6,80,B,\"CODE39\"", zbar_reads, "CODE39", 0},
        {"B40,40,0,3C,2,6,80,B,\"CODE39\"", zbar_reads, "CODE39W", 0},
        // A quote or lower case: full ASCII (zbar shows the pairs it reads).
        {"B40,40,0,3,2,6,80,B,\"Code \\\"39\\\"\"", zbar_reads, "C+O+D+E /B39/B", 0},
        {"B40,40,0,9,2,6,80,B,\"CODE93\"", zbar_reads, "CODE93", 0},
        {"B40,40,0,K,2,6,80,B,\"A123456B\"", zbar_reads, "A123456B", 0},
        {"B40,40,0,E80,2,2,80,B,\"1234567\"", zbar_reads, "12345670", 0},
        {"B40,40,0,E82,2,2,80,B,\"123456712\"", zbar_reads, "12345670 12", 0},
        {"B40,40,0,E85,2,2,80,B,\"123456712345\"", zbar_reads, "12345670 12345", 0},
        {"B40,40,0,E30,2,2,80,B,\"501234567890\"", zbar_reads, "5012345678900", 0},
        {"B40,40,0,E32,2,2,80,B,\"50123456789012\"", zbar_reads, "5012345678900 12", 0},
        {"B40,40,0,E35,2,2,80,B,\"50123456789012345\"", zbar_reads, "5012345678900 12345", 0},
        {"B40,40,0,UA0,2,2,80,B,\"03600029145\"", zbar_reads, "0036000291452", 0},
        {"B40,40,0,UA2,2,2,80,B,\"0360002914512\"", zbar_reads, "0036000291452 12", 0},
        {"B40,40,0,UA5,2,2,80,B,\"0360002914512345\"", zbar_reads, "0036000291452 12345", 0},
        {"B40,40,0,UE0,2,2,80,B,\"0123456\"", zbar_reads, "0012345000065", 0},
        {"B40,40,0,UE2,2,2,80,B,\"012345612\"", zbar_reads, "0012345000065 12", 0},
        {"B40,40,0,UE5,2,2,80,B,\"012345612345\"", zbar_reads, "0012345000065 12345", 0},
        {"B40,40,0,2,2,6,80,B,\"1234567890\"", zbar_reads, "1234567890", 0},
        {"B40,40,0,2C,2,6,80,B,\"123456789\"", zbar_reads, "1234567895", 0},
        {"B40,40,0,2D,2,6,80,B,\"123456789\"", zbar_reads, "1234567895", 0},
        {"B40,40,0,2U,2,6,80,B,\"1234567890123\"", zbar_reads, "12345678901231", 0},
        {"B40,40,0,2G,2,6,80,B,\"21348075016\"", zbar_reads, "213480750167", 0},
        {"B40,40,0,P,2,6,60,N,\"12345-6789\"", none, "", 0},
        {"B40,40,0,P,,,60,N,\"12345\"", none, "", 0},  // the postal codes' bars are fixed
        {"B40,40,0,PL,2,6,60,N,\"12345678901\"", none, "", 0},
        {"B40,40,0,J,2,6,60,N,\"15400233-16-4-205\"", none, "", 0},
        {"B40,40,0,L,2,6,60,B,\"12345\"", none, "", 0},
        {"B40,40,0,M,2,6,60,B,\"12345\"", none, "", 0},
        {"b40,40,Q,s4,eH,\"https://example.org/q?a=1\"", zbar_reads, "https://example.org/q?a=1", 0},
        {"b40,40,Q,s4eM,\"QR, with a comma\"", zbar_reads, "QR, with a comma", 0},
        {"b40,40,Q,m2,s3,eL,iM,\"AMANUAL\"", zbar_reads, "MANUAL", 0},
        // Error level M unless told: 53 bytes make version 4, 33 modules.
        {"b40,40,Q,\"https://example.org/a-53-byte-url/with/more/path/xyz1\"", zbar_reads,
         "https://example.org/a-53-byte-url/with/more/path/xyz1", 33 * 3},
        // Data Matrix with its one-module quiet zone: dark round an inverse
        // symbol (14 modules and two of quiet zone).
        {"b40,40,D,h6,\"datamatrix\"", zxing_reads, "datamatrix", 0},
        {"b40,40,D,h6,v1,\"plain dm\"", zxing_reads, "plain dm", 16 * 6},
        {"b40,40,D,h4,c20,r20,\"sized\"", zxing_reads, "sized", 0},
        {"b40,40,P,400,300,x3,y9,s2,\"pdf417 text\"", zxing_reads, "pdf417 text", 0},
        // PDF417 in its box: the widest module that fits, centred with f1.
        {"b40,40,P,700,300,f1,\"centred\"", zxing_reads, "centred", 0},
        {"b40,40,A,d6,\"aztec\"", zxing_reads, "aztec", 0},
        {"b40,40,A,d4,e101,\"compact\"", zxing_reads, "compact", 0},
        // MaxiCode with hexagons at its nominal size, 225 dots wide.
        {"b40,40,M,m2,\"003,840,43215,hello\"", zxing_reads, "43215\x1D" "840\x1D" "003\x1D" "hello", 225},
        // ZIP+4 as the guide and carriers write it, with a comma between the
        // five and the four digits; nine digits written together; a carrier's
        // structured message, which the reader gives with the postal data
        // after its header; mode 3's six characters.
        {"b40,40,M,\"300,400,93065,1692,This is MaxiCode\"", zxing_reads,
         "930651692\x1D" "400\x1D" "300\x1D" "This is MaxiCode", 225},
        {"b40,40,M,m2,\"003,840,930651692,nine\"", zxing_reads, "930651692\x1D" "840\x1D" "003\x1D" "nine", 225},
        {"b40,40,M,m2,\"003,840,06810,7317,[)>\x1E" "01\x1D" "961Z00004951\x1DUPSN\x1D" "06X610\x1E\x04\"", zxing_reads,
         "[)>\x1E" "01\x1D" "96068107317\x1D" "840\x1D" "003\x1D" "1Z00004951\x1DUPSN\x1D" "06X610\x1E\x04", 225},
        {"b40,40,M,m3,\"003,826,EC1A1B,1234,mode three\"", zxing_reads, "EC1A1B\x1D" "826\x1D" "003\x1D" "1234,mode three", 225},
        {"b40,40,M,\"just a message\"", zxing_reads, "just a message", 225},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.code);
        const Outcome r = run(std::string("q800\nQ600,24\nN\n") + row.code + "\nP1\n");
        EXPECT_EQ(first_problem(r), "");
        ASSERT_EQ(r.labels.size(), 1u);
        const Bitmap &image = r.labels[0].image;
        EXPECT_GT(image.count_black(), 100);
        if (row.reader != none) {
            EXPECT_EQ(row.reader == zbar_reads ? zbar(image) : zxing(image), row.decoded);
        }
        if (row.width) {
            EXPECT_EQ(ink_width(image), row.width);
        }
    }
}

// The density: at 12 dots a millimetre the resident fonts have the 300-dpi
// cells and pitch, the media and the print width are in 300-dpi dots, and a
// code of a fixed size (MaxiCode) keeps its size in millimetres.
TEST(Interpreter, DensityChoosesFontCellsMediaAndFixedSizes) {
    struct Case {
        int dpmm;
        std::string line;
        long width, height;  // of the ink: a reversed text's box, or the code
    } cases[] = {
        {8, "A10,10,0,1,1,1,R,\"AB\"", 2 * 10, 14},  {12, "A10,10,0,1,1,1,R,\"AB\"", 2 * 12, 20},
        {8, "A10,10,0,2,1,1,R,\"AB\"", 2 * 12, 18},  {12, "A10,10,0,2,1,1,R,\"AB\"", 2 * 16, 28},
        {8, "A10,10,0,3,1,1,R,\"AB\"", 2 * 14, 22},  {12, "A10,10,0,3,1,1,R,\"AB\"", 2 * 20, 36},
        {8, "A10,10,0,4,2,1,R,\"AB\"", 4 * 16, 26},  {12, "A10,10,0,4,2,1,R,\"AB\"", 4 * 24, 44},
        {8, "A10,10,0,5,1,2,R,\"AB\"", 2 * 36, 100}, {12, "A10,10,0,5,1,2,R,\"AB\"", 2 * 48, 160},
        {12, "A10,10,0,8,1,1,R,\"\xD6\xD0\"", 36, 36},
        {12, "A10,10,0,8,1,1,R,\"\xD6\xD0" "AB\"", 36 + 2 * 24, 36}, {8, "A10,10,0,8,1,1,R,\"\xD6\xD0" "AB\"", 24 + 2 * 12, 24},
        {12, "b10,10,M,\"just a message\"", 338, 323},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.dpmm) + " dots/mm: " + c.line);
        VirtualPrinter::Options options{0};
        options.dots_per_mm = c.dpmm;
        if (c.dpmm == 12) options.media_width = 1200, options.media_length = 1800;
        const Outcome r = run("N\n" + c.line + "\nP1\n", 0, options);
        EXPECT_EQ(first_problem(r), "");
        ASSERT_EQ(r.labels.size(), 1u);
        const Bitmap &b = r.labels[0].image;
        long top = b.height(), bottom = -1;
        for (long y = 0; y < b.height(); ++y)
            for (long x = 0; x < b.width(); ++x)
                if (b.black(x, y)) top = std::min(top, y), bottom = std::max(bottom, y);
        EXPECT_EQ(ink_width(b), c.width);
        EXPECT_NEAR(bottom - top + 1, c.height, c.line[0] == 'b' ? 2 : 0);
    }
    VirtualPrinter::Options wide{0};
    wide.dots_per_mm = 12;
    const Outcome r = run("R0,0\nN\nLO1240,0,4,4\nP1\n", 0, wide);
    ASSERT_EQ(r.labels.size(), 1u);
    EXPECT_EQ(r.labels[0].image.width(), 1248);  // R: the 300-dpi head's width
    EXPECT_GT(ink(r.labels[0].image, 1240, 0, 1244, 4), 0);
}

// EAN and UPC readable lines as printed: the number-system digit left of the
// bars, UPC's check digit right of them, the guard bars running down beside
// the digits; the bars stay where p1 puts them.
TEST(Interpreter, EanAndUpcReadableLinesAreLaidOutAsPrinted) {
    const struct {
        const char *code;
        long modules;       // the main symbol's width
        long centre_guard;  // a module of the centre guard (or the end guard)
        bool digit_left, digit_right;
    } rows[] = {
        {"B40,40,0,E30,2,2,80,B,\"501234567890\"", 95, 46, true, false},
        {"B40,40,0,UA0,2,2,80,B,\"03600029145\"", 95, 46, true, true},
        {"B40,40,0,UE0,2,2,80,B,\"0123456\"", 51, 50, true, true},
        {"B40,40,0,E80,2,2,80,B,\"1234567\"", 67, 32, false, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.code);
        const Outcome r = run(std::string("q800\nQ600,24\nN\n") + row.code + "\nP1\n");
        EXPECT_EQ(first_problem(r), "");
        ASSERT_EQ(r.labels.size(), 1u);
        const Bitmap &b = r.labels[0].image;
        const long bars_end = 40 + row.modules * 2, below = 40 + 80 + 3;
        EXPECT_EQ(zbar(b).empty(), false);
        EXPECT_EQ(ink(b, 0, 40, 40, 160) > 0, row.digit_left);
        EXPECT_EQ(ink(b, bars_end, 40, 400, 160) > 0, row.digit_right);
        EXPECT_GT(ink(b, 40 + row.centre_guard * 2, below, 40 + row.centre_guard * 2 + 2, below + 2), 0);
    }
}

// PDF417 centred in its box (f1): as much room on either side.
TEST(Interpreter, Pdf417CentresInItsBox) {
    const Outcome r = run("q800\nQ600,24\nN\nb40,40,P,700,300,f1,\"centred\"\nP1\n");
    ASSERT_EQ(r.labels.size(), 1u);
    const Bitmap &b = r.labels[0].image;
    long left = b.width();
    for (long y = 0; y < b.height(); ++y)
        for (long x = 0; x < b.width(); ++x)
            if (b.black(x, y)) left = std::min(left, x);
    const long right = left + ink_width(b) - 1;
    EXPECT_GT(left, 40 + 6);  // moved in from the box's edge
    EXPECT_NEAR(left - 40, 40 + 700 - 1 - right, 6);
}

// A form with a variable and a counter: stored, not drawn; its data lines
// are data even when they look like commands; counters step between sets.
TEST(Interpreter, FormsFillVariablesAndStepCountersBetweenSets) {
    const std::string stream =
        "FK\"SHIP\"\nFS\"SHIP\"\nV00,10,N,\"Name\"\nC0,3,N,+1,\"Number\"\nA10,10,0,3,1,1,N,\"To: \"V00\n"
        "B10,60,0,3,2,6,60,N,C0\nFE\nN\nFR\"SHIP\"\n?\nP9999\n007\nP2,3\n";
    const Outcome r = run(stream);
    EXPECT_EQ(first_problem(r), "");
    ASSERT_EQ(r.labels.size(), 2u);  // two sets, three copies each
    EXPECT_EQ(r.labels[0].copies, 3);
    EXPECT_EQ(zbar(r.labels[0].image), "007");
    EXPECT_EQ(zbar(r.labels[1].image), "008");
    // "P9999" was the variable's value, drawn as text, never run.
    EXPECT_GT(ink(r.labels[0].image, 10, 10, 200, 32), 100);
    EXPECT_NE(r.events.find("form \"SHIP\" stored, 4 line(s)"), std::string::npos) << r.events;
}

// The Asian fonts: a GBK character fills a 24 x 24 cell, a single byte half
// of one, the multipliers repeat dots, i adds space between characters; the
// text stays inside the box those make, and is ink, not a diagnostic.
TEST(Interpreter, AsianFontsDrawGbkTextInTheirCells) {
    const std::string zhongwen = "\xD6\xD0\xCE\xC4";  // two characters
    struct Case {
        std::string line;
        long right, bottom;  // the box's far corner, from the text's origin at 10,10
    } cases[] = {
        {"A10,10,0,8,1,1,N,\"" + zhongwen + "\"", 48, 24},
        {"A10,10,0,9,1,1,N,\"" + zhongwen + "\"", 48, 24},
        {"A10,10,0,8,2,3,N,\"" + zhongwen + "\"", 96, 72},
        {"A10,10,0,8,1,1,N,\"" + zhongwen + "AB\"", 72, 24},
        {"i6\nA10,10,0,8,1,1,N,\"" + zhongwen + "\"", 54, 24},
        {"A10,10,0,8,1,1,R,\"" + zhongwen + "\"", 48, 24},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        const Outcome r = run("N\nq400\nQ200,24\n" + c.line + "\nP1\n");
        EXPECT_EQ(first_problem(r), "");
        ASSERT_EQ(r.labels.size(), 1u);
        const Bitmap &b = r.labels[0].image;
        const long inside = ink(b, 10, 10, 10 + c.right, 10 + c.bottom);
        EXPECT_GT(inside, c.right * c.bottom / 10);                    // drawn
        EXPECT_EQ(ink(b, 0, 0, 400, 200), inside);                     // and nowhere else
        EXPECT_GT(ink(b, 10 + c.right * 3 / 4, 10, 10 + c.right, 10 + c.bottom), 0);  // to the box's end
    }
}

// What the reader, the command table and the printer's state decide between
// them, each case a stream: one setting held once, whatever asks for it.
TEST(Interpreter, ReaderTableAndStateAgree) {
    struct Case {
        const char *what;
        std::string stream;
        std::size_t labels;
        const char *reply_has;    // "" for no check
        const char *problem_has;  // "" for none expected
    } cases[] = {
        // A form with nothing to fill in runs at FR: a '?' after it waits
        // for nothing, and the lines after it stay commands.
        {"a form without variables", "FS\"F\"\nA10,10,0,3,1,1,N,\"X\"\nFE\nN\nFR\"F\"\n?\nP1\nUI\n", 1, "UI80,001",
         "? without a retrieved form"},
        // ^@ starts the buffer anew: UQ says the media size, not the old q/Q.
        {"^@ after q and Q", "q400\nQ300,24\n^@\nUQ\n", 0, "q812 Q1218", ""},
        {"ZB then UQ", "ZB\nUQ\n", 0, " ZB UN", ""},
        {"UT reports errors", "UT\nUQ\n", 0, " ZT US", ""},
        // GM's comma before the size is forgiven; its header is read once.
        {"GM with a comma", "GM\"L\",3\nabc\nGI\n", 0, "", "GM \"L\""},
        // GW whose header is not at the start of the line carries no data.
        {"an indented GW", "N\n GW1,1,1,1,\xFF\nP1\n", 1, "", "GW: its data must follow the header"},
        // A comment line is the table's: never stored in a form, never run.
        {"a comment in a form", "FS\"F\"\n; note\nFE\nFI\n", 0, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (std::size_t chunk : {std::size_t{0}, std::size_t{1}}) {
            const Outcome r = run(c.stream, chunk);
            EXPECT_EQ(r.labels.size(), c.labels);
            if (*c.reply_has) {
                EXPECT_NE(r.replies.find(c.reply_has), std::string::npos) << r.replies;
            }
            if (*c.problem_has) {
                EXPECT_NE(first_problem(r).find(c.problem_has), std::string::npos) << first_problem(r);
            } else {
                EXPECT_EQ(first_problem(r), "");
            }
        }
    }
}

// ES"n" and a soft font of characters 8 dots wide and 12 high, each a
// filled box with one white column (so that turning shows), advancing 10:
// their codes and bitmaps include a line end, a quote and "P1", which are
// data, never commands.
std::string soft_font(char name, const std::string &codes, int rotation = 0) {
    std::string s = std::string("ES\"") + name + "\"";
    s += static_cast<char>(codes.size());
    s += static_cast<char>(rotation);
    s += static_cast<char>(12);
    for (int set = 0; set < (rotation == 2 ? 2 : 1); ++set)
        for (char code : codes) {
            s += code;
            s += static_cast<char>(10);
            s += static_cast<char>(8);
            s += '"';
            s += std::string(11, '\x7F');  // the left column white
            s += '\n';                     // and the last row: 0x0A
        }
    return s;
}

// One character of 255 x 255 dots, every dot black, advancing by advance.
std::string large_soft_font(char name, int advance) {
    std::string s = std::string("ES\"") + name + '"';
    for (int byte : {1, 0, 255, int{'A'}, advance, 255, int{'"'}}) s += static_cast<char>(byte);
    return s + std::string(32 * 255, '\xFF');
}

TEST(Interpreter, SoftFontsAreStoredPrintedListedAndDeleted) {
    const std::string font = soft_font('a', std::string("A\n\"P", 4));
    const std::string many(20000, 'A');
    std::string lines_of_two_large;
    for (int i = 0; i < 200; ++i) lines_of_two_large += "A0,0,0,g,1,1,N,\"AA\"\n";
    const struct {
        const char *what;
        std::string stream;
        long x0, y0, x1, y1, dots;  // ink in this box (-1: none wanted)
        const char *events_have;
        const char *reply_has;
        const char *problem_has;
    } rows[] = {
        // Two characters, 11 rows of 7 dots each (the last row is 0x0A: 2 dots).
        {"printed upright", font + "\nN\nA100,50,0,a,1,1,N,\"AP\"\nP1\n", 100, 50, 120, 62, 2 * (11 * 7 + 2), "store soft font", "", ""},
        {"doubled", font + "N\nA100,50,0,a,2,3,N,\"A\"\nP1\n", 100, 50, 120, 86, 6 * (11 * 7 + 2), "", "", ""},
        // Turned 90 degrees clockwise about its origin: 12 wide, 8 down.
        {"turned", font + "N\nA100,50,1,a,1,1,N,\"A\"\nP1\n", 88, 50, 100, 58, 11 * 7 + 2, "", "", ""},
        {"reversed", font + "N\nA100,50,0,a,1,1,R,\"A\"\nP1\n", 100, 50, 110, 62, 10 * 12 - (11 * 7 + 2), "", "", ""},
        {"a character it lacks", font + "N\nA100,50,0,a,1,1,N,\"AZ\"\nP1\n", 100, 50, 120, 62, 11 * 7 + 2, "no character for \"Z\"", "", ""},
        {"both rotations sent", soft_font('b', "AB", 2) + "N\nA10,10,0,b,1,1,N,\"AB\"\nP1\n", 10, 10, 30, 22, 2 * (11 * 7 + 2), "", "", ""},
        {"listed", font + soft_font('z', "A") + "EI\nUE\nUP\n", 0, 0, 0, 0, 0, "soft fonts: \"a\" (4 characters, 12 dots high) \"z\"", "a\r\nz\r\n", ""},
        {"deleted", font + "EK\"a\"\nN\nA10,10,0,a,1,1,N,\"A\"\nP1\n", 0, 0, 0, 0, 0, "delete soft font \"a\"", "", "no soft font \"a\""},
        {"all deleted", font + soft_font('b', "A") + "EK\"*\"\nEI\n", 0, 0, 0, 0, 0, "soft fonts: none", "", ""},
        {"no quote before a bitmap", "ES\"c\"\x01\x00\x0C" "A\x0A\x08X"s + std::string(12, '\xFF') + "\nN\nP1\n", 0, 0, 0, 0, 0, "", "",
         "no quote before its bitmap"},
        {"a name that is no letter", "ES\"7\"\x01\x00\x01" "A\x01\x01\"\xFF" "N\nP1\n"s, 0, 0, 0, 0, 0, "", "", "one lower-case letter"},
        {"cut short", "ES\"d\"\x05\x00\x0C" "A\x0A\x08\""s, 0, 0, 0, 0, 0, "", "", "ES data cut short"},
        // Characters wholly off the label cost nothing: the 30 that fit are drawn.
        {"20,000 characters, most past the label", font + "N\nA100,50,0,a,1,1,N,\"" + many + "\"\nP1\n", 100, 50, 400, 62,
         30 * (11 * 7 + 2), "", "", ""},
        {"a 255-dot character 20,000 times at 8 x 9, one on the label", large_soft_font('g', 255) +
         "N\nA0,0,0,g,8,9,N,\"" + many + "\"\nP1\n", 0, 0, 400, 200, 400 * 200, "", "", ""},
        // On the label, each costs its dots: a job's soft-font text is bounded.
        {"a 255-dot character 400 times in one place", large_soft_font('g', 255) + "N\n" + lines_of_two_large +
         "P1\n", 0, 0, 400, 200, 400 * 200, "", "", "the rest of it is not drawn"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto &row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << row.what);
        for (std::size_t chunk : {std::size_t{0}, std::size_t{1}}) {
            const Outcome r = run("q400\nQ200,24\n" + row.stream, chunk);
            if (*row.problem_has) {
                EXPECT_NE(first_problem(r).find(row.problem_has), std::string::npos) << first_problem(r);
            } else {
                EXPECT_EQ(first_problem(r), "");
            }
            if (*row.events_have) {
                EXPECT_NE(r.events.find(row.events_have), std::string::npos) << r.events;
            }
            if (*row.reply_has) {
                EXPECT_NE(r.replies.find(row.reply_has), std::string::npos) << r.replies;
            }
            if (row.dots) {
                ASSERT_EQ(r.labels.size(), 1u);
                EXPECT_EQ(ink(r.labels[0].image, row.x0, row.y0, row.x1, row.y1), row.dots);
                EXPECT_EQ(r.labels[0].image.count_black(), row.dots);  // nothing drawn elsewhere
            }
        }
    }
}

// ^ee answers with the code of the last line that failed, then 00; UQ and
// UI answer with the configuration and the code page.
TEST(Interpreter, RepliesSayWhatThePrinterKnows) {
    const Outcome r = run("I8,A,049\n^ee\nXYZZY\n^ee\n^ee\nB1,1,0,E30,2,2,9,N,\"1\"\n^ee\nUI\nUQ\n");
    EXPECT_EQ(r.replies.substr(0, 26), "00\r\n01\r\n00\r\n03\r\nUI8A,049\r\n");
    EXPECT_NE(r.replies.find("I8,A,049"), std::string::npos);
    EXPECT_NE(r.replies.find("q812 Q1218"), std::string::npos);  // 4 x 6 inch media unless told
    // ^default restores what UI and UQ report as well: the country too.
    const Outcome reset = run("I8,A,049\nUS\n^default\nUI\nUQ\n");
    EXPECT_NE(reset.replies.find("UI80,001\r\n"), std::string::npos) << reset.replies;
    EXPECT_NE(reset.replies.find("I8,0,001"), std::string::npos) << reset.replies;
    EXPECT_NE(reset.replies.find(" UN\r\n"), std::string::npos) << reset.replies;
    // UP: the memory in KB, then the code page as UI sends it.
    const Outcome memory = run("q800\nQ400,24\nUP\n");
    EXPECT_EQ(memory.replies, "UP39,1024,1024,65536,65536,1024,1024\r\nUI80,001\r\n");
    // Settings are checked before they are kept: junk is refused, not echoed.
    const std::string junk(60000, 'x');
    const Outcome checked = run("Y19,E,7,2\nY96,N,8,1," + junk + "\nY99,N,8,1\nI8,0," + junk + "\nI8,0,0049\nUQ\n");
    EXPECT_LT(checked.replies.size(), 1000u);
    EXPECT_NE(checked.replies.find("Serial port:19,E,7,2\r\n"), std::string::npos) << checked.replies;
    EXPECT_EQ(checked.diagnostics.size(), 4u);
}

// I chooses the code page resident fonts read bytes in: the same byte is
// another character in DOS 437 and in Windows 1250, and a PNG says the
// printer's resolution.
TEST(Interpreter, CodePagesChooseTheCharacterAByteDraws) {
    const auto draw = [](const std::string &set) {
        const Outcome r = run("q100\nQ40,0\nN\n" + set + "\nA0,0,0,4,1,1,N,\"\xA5\"\nP1\n");
        EXPECT_EQ(first_problem(r), "");
        return r.labels.empty() ? Bitmap() : r.labels[0].image;
    };
    const Bitmap dos = draw("I8,0,001"), windows = draw("I8,B,001"), again = draw("I8,0,049");
    long differ = 0, same = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 100; ++x) {
            differ += dos.black(x, y) != windows.black(x, y);
            same += dos.black(x, y) != again.black(x, y);
        }
    EXPECT_GT(dos.count_black(), 20);
    EXPECT_GT(differ, 10);  // N with a tilde in 437, A with an ogonek in 1250
    EXPECT_EQ(same, 0);
    qbtest::TempDir dir;
    const std::string png = dir.path() + "/l.png";
    ASSERT_TRUE(quillbar::preview::write_png(png, dos));
    const std::string file = qbtest::read_file(png);
    const std::size_t phys = file.find("pHYs");
    ASSERT_NE(phys, std::string::npos);
    EXPECT_EQ(file.substr(phys + 4, 9), std::string("\x00\x00\x1F\x40\x00\x00\x1F\x40\x01", 9));  // 8000 a metre
    EXPECT_EQ(file[24], 1);  // one bit a pixel
    // Drawn 3 pixels a dot: 24000 pixels a metre, the same 100 dots' width in millimetres.
    ASSERT_TRUE(quillbar::preview::write_png(png, dos, 3));
    const std::string scaled = qbtest::read_file(png);
    EXPECT_EQ(scaled.substr(scaled.find("pHYs") + 4, 9), std::string("\x00\x00\x5D\xC0\x00\x00\x5D\xC0\x01", 9));
    // 12 dots/mm is a 300-dpi head: 11811 a metre, not 12000.
    ASSERT_TRUE(quillbar::preview::write_png(png, dos, 1, 12));
    const std::string fine = qbtest::read_file(png);
    EXPECT_EQ(fine.substr(fine.find("pHYs") + 4, 9), std::string("\x00\x00\x2E\x23\x00\x00\x2E\x23\x01", 9));
}

}  // namespace

// A label printed, more drawn, printed again: the second label is dot for
// dot the label those objects make on a fresh printer, whatever the first
// print did with the graphics layer under them.
TEST(Reprints, ASecondPrintIsWhatTheSameObjectsMakeFresh) {
    const std::string gw = "GW8,8,2,4,"s + "\x0F\xF0\x0F\xF0\xFF\x00\x00\xFF\n"s;  // a 0 bit is a black dot
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"LO0,8,40,3\n" + gw, ""},                               // the same label again
        {"LO0,8,40,3\n" + gw, "A4,4,0,2,1,1,R,\"MN\"\n"},        // reverse text over the graphic
        {gw, "GW12,9,1,2,\x00\x00\n"s},                          // a graphic over the graphic
        {"X0,0,2,30,20\n" + gw, "LO16,0,2,40\nLE6,6,10,10\n"},   // more lines, and an XOR over everything
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        const std::string head = "N\nq200\nQ60,24\n";
        const Outcome twice = run(head + cases[i].first + "P1\n" + cases[i].second + "P1\n");
        const Outcome fresh = run(head + cases[i].first + cases[i].second + "P1\n");
        ASSERT_EQ(twice.labels.size(), 2u) << first_problem(twice);
        ASSERT_EQ(fresh.labels.size(), 1u) << first_problem(fresh);
        const Bitmap &got = twice.labels[1].image, &want = fresh.labels[0].image;
        ASSERT_EQ(got.width(), want.width());
        ASSERT_GT(ink(want, 0, 0, want.width(), want.height()), 0);
        for (long y = 0; y < want.height(); ++y)
            for (long x = 0; x < want.width(); ++x) ASSERT_EQ(got.black(x, y), want.black(x, y)) << x << "," << y;
    }
}
