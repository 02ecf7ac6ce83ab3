// SPDX-License-Identifier: MIT
// The virtual printer: labels composed with the real library, captured on a
// real pseudo-terminal and rendered; bar codes read back by an independent
// decoder; streams that are cut, malformed or noise.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "epl2_printer.h"
#include "gw_image.h"
#include "pcx.h"
#include "quillbar.h"
#include "support.h"

namespace {

using quillbar::preview::Bitmap;
using quillbar::preview::VirtualPrinter;

// Black dots inside [x0, x1) x [y0, y1).
long black(const Bitmap &b, long x0, long y0, long x1, long y1) {
    long n = 0;
    for (long y = y0; y < y1; ++y)
        for (long x = x0; x < x1; ++x) n += b.black(x, y);
    return n;
}

// Copying and merging go over what was drawn only: the result is the same,
// dot for dot, as a plain walk over every dot, wherever the drawing lies and
// however it was made (painted, inverted, erased, turned, reused after a reset).
TEST(Pictures, CopyAndMergeAgreeWithEveryDot) {
    const std::vector<std::function<void(Bitmap &)>> drawings = {
        [](Bitmap &) {},
        [](Bitmap &b) { b.fill(0, 0, 3, 2); },
        [](Bitmap &b) { b.fill(b.width() - 4, b.height() - 1, 9, 9); },
        [](Bitmap &b) { b.paint(5, 5, 20, 10, Bitmap::Ink::invert), b.fill(8, 8, 4, 4, false); },
        [](Bitmap &b) { b.set(1, 2), b.turn_half(); },
        [](Bitmap &b) { b.fill(0, 0, 60, 40), b.reset(60, 40), b.set(59, 39); },
    };
    for (std::size_t i = 0; i < drawings.size(); ++i)
        for (const auto &[dx, dy] : std::vector<std::pair<long, long>>{{0, 0}, {7, -3}, {-10, 20}, {55, 35}}) {
            SCOPED_TRACE(testing::Message() << "drawing " << i << " at " << dx << "," << dy);
            Bitmap layer(60, 40), page(60, 40), copy(13, 7);
            drawings[i](layer);
            page.fill(30, 1, 2, 2);  // what the page held before
            copy.fill(0, 0, 13, 7);  // a reused picture of another size
            copy.copy_from(layer);
            page.merge(layer, dx, dy);
            ASSERT_EQ(copy.width(), 60);
            for (long y = 0; y < 40; ++y)
                for (long x = 0; x < 60; ++x) {
                    ASSERT_EQ(copy.black(x, y), layer.black(x, y)) << x << "," << y;
                    const bool expected = layer.black(x - dx, y - dy) || (x >= 30 && x < 32 && y >= 1 && y < 3);
                    ASSERT_EQ(page.black(x, y), expected) << x << "," << y;
                }
        }
}

// The PNG encoded into memory is the file's bytes; an empty picture has none.
TEST(Pictures, PngInMemoryIsTheFileByteForByte) {
    qbtest::TempDir dir;
    Bitmap picture(101, 37);
    picture.fill(3, 4, 50, 9);
    picture.set(100, 36);
    for (int scale : {1, 3}) {
        std::vector<unsigned char> memory;
        ASSERT_TRUE(quillbar::preview::encode_png(picture, memory, scale));
        const std::string file = dir.file("p.png");
        ASSERT_TRUE(quillbar::preview::write_png(file, picture, scale));
        EXPECT_EQ(std::string(memory.begin(), memory.end()), qbtest::read_file(file)) << scale;
    }
    std::vector<unsigned char> none{1};
    EXPECT_FALSE(quillbar::preview::encode_png(Bitmap(), none));
    EXPECT_TRUE(none.empty());
}

// Runs the QB_ calls with COM1 on a pseudo-terminal and renders what the
// printer received.
class RoundTrip : public testing::Test {
protected:
    void SetUp() override { qbtest::open_port_on(3, pty_.slave()); }
    void TearDown() override { QB_PortClose(); }

    VirtualPrinter print(const std::function<void()> &calls) {
        calls();
        stream_ = pty_.drain(std::chrono::milliseconds(50));
        VirtualPrinter printer;
        printer.feed(stream_.data(), stream_.size());
        printer.finish();
        return printer;
    }
    Bitmap label(const std::function<void()> &calls) {
        VirtualPrinter printer = print([&] {
            QB_SetPaperSize(0, 60, 40, 3);
            QB_SetClear();
            calls();
            QB_Print(1);
        });
        EXPECT_TRUE(printer.diagnostics().empty()) << printer.diagnostics()[0].message;
        auto labels = printer.take_labels();
        EXPECT_EQ(labels.size(), 1u);
        return labels.empty() ? Bitmap() : labels[0].image;
    }

    qbtest::Pty pty_;
    std::string stream_;
};

TEST_F(RoundTrip, LinesAndBoxesLandOnTheirDots) {
    const Bitmap b = label([] {
        QB_PrintLine(1, 2, 3, 1);      // dots 8..31 x 16..23
        QB_PrintBox(10, 10, 20, 15, 1);  // 80..160 x 80..120, 8 dots thick inwards
    });
    EXPECT_EQ(b.width(), 480);
    EXPECT_EQ(b.height(), 320);
    EXPECT_EQ(black(b, 8, 16, 32, 24), 24 * 8);
    EXPECT_EQ(black(b, 0, 0, 480, 24) - black(b, 8, 16, 32, 24), 0);
    EXPECT_EQ(black(b, 80, 80, 160, 88), 80 * 8);    // top edge
    EXPECT_EQ(black(b, 80, 112, 160, 120), 80 * 8);  // bottom edge
    EXPECT_EQ(black(b, 88, 88, 152, 112), 0);        // inside
    EXPECT_EQ(black(b, 0, 120, 480, 320), 0);        // nothing below
}

TEST_F(RoundTrip, ChineseTextImageIsBitExact) {
    const std::string text = "\xD6\xD0\xCE\xC4" "AB";
    const Bitmap b = label([&] { QB_PrintChineseStr(2, 3, 1, 0, 1, 0, text.c_str()); });
    const auto gw = quillbar::tools::find_gw(stream_);
    ASSERT_EQ(gw.size(), 1u);
    long differ = 0;
    for (long y = 0; y < gw[0].rows; ++y)
        for (long x = 0; x < gw[0].width(); ++x) differ += gw[0].ink(x, y) != b.black(16 + x, 24 + y);
    EXPECT_EQ(differ, 0);
    EXPECT_EQ(black(b, 0, 0, 480, 320), black(b, 16, 24, 16 + gw[0].width(), 24 + gw[0].rows));
    EXPECT_GT(black(b, 16, 24, 112, 48), 50);
}

TEST_F(RoundTrip, PrinterFontTextStaysInItsCellBox) {
    struct Row {
        int rotation, font, h, v;
        long x0, y0, x1, y1;  // the box the text may fill, in dots
    };
    // "AB" at 5 mm, 5 mm = 40, 40; font 3 characters advance 14 dots (a 12 x 20
    // cell and a one-dot border round it), its box is 22 high.
    const Row rows[] = {
        {0, 3, 1, 1, 41, 41, 67, 61},   {0, 3, 2, 3, 42, 43, 94, 103}, {1, 3, 1, 1, 19, 41, 39, 67},
        {2, 3, 1, 1, 13, 19, 39, 39},   {3, 3, 1, 1, 41, 13, 61, 39},  {0, 1, 1, 1, 41, 41, 59, 53},
        {0, 5, 1, 1, 41, 41, 111, 89},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << "rotation " << r.rotation << " font " << r.font << " x" << r.h << r.v);
        const Bitmap b = label([&] { QB_PrintCharacter(5, 5, r.rotation, r.font, r.h, r.v, 0, "AB"); });
        const long inside = black(b, r.x0, r.y0, r.x1, r.y1);
        EXPECT_GT(inside, 10);
        EXPECT_EQ(black(b, 0, 0, b.width(), b.height()), inside);
    }
}

TEST_F(RoundTrip, ReverseTextIsWhiteOnBlack) {
    const Bitmap normal = label([] { QB_PrintCharacter(5, 5, 0, 3, 1, 1, 0, "HI"); });
    const Bitmap reversed = label([] { QB_PrintCharacter(5, 5, 0, 3, 1, 1, 1, "HI"); });
    const long box = 28 * 22;  // two characters of 14 dots, the box 22 high
    EXPECT_EQ(black(reversed, 40, 40, 68, 62), box - black(normal, 40, 40, 68, 62));
    EXPECT_GT(black(reversed, 40, 40, 64, 60), box / 2);
}

TEST_F(RoundTrip, StoredLogoPrintsBitExactAndIsGoneAfterDelete) {
    Bitmap logo(40, 24);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 40; ++x) logo.set(x, y, (x * 7 + y * 3) % 5 == 0 || y == 0 || x == 39);
    const auto pcx = quillbar::preview::encode_pcx(logo);
    qbtest::TempDir dir;
    const std::string path = dir.file("logo.pcx", std::string(pcx.begin(), pcx.end()));

    VirtualPrinter printer = print([&] {
        QB_SetPaperSize(0, 60, 40, 3);
        QB_DownPicture(path.c_str(), "LOGO");
        QB_SetClear();
        QB_PrintMemGraphics(3, 2, "LOGO");
        QB_Print(1);
        QB_DeleteMemGraphics("LOGO");
        QB_SetClear();
        QB_PrintMemGraphics(3, 2, "LOGO");
        QB_Print(1);
    });
    auto labels = printer.take_labels();
    ASSERT_EQ(labels.size(), 2u);
    long differ = 0;
    for (int y = -2; y < 26; ++y)
        for (int x = -2; x < 42; ++x) differ += logo.black(x, y) != labels[0].image.black(24 + x, 16 + y);
    EXPECT_EQ(differ, 0);
    EXPECT_EQ(labels[1].image.count_black(), 0);
    ASSERT_EQ(printer.diagnostics().size(), 1u);
    EXPECT_NE(printer.diagnostics()[0].message.find("no graphic stored as \"LOGO\""), std::string::npos);
    EXPECT_TRUE(printer.stored_graphics().empty());
}

// ---- bar codes, read back by zbarimg ----------------------------------------------------


TEST_F(RoundTrip, BarCodesDecodeToTheirDataInEveryRotation) {
    const struct {
        int type;
        const char *data;
        const char *decoded;
    } codes[] = {
        {0, "12345678901234567", "00123456789012345675"},
        {1, "QB-128-Label", "QB-128-Label"},
        {2, "1234567", "01234567"},
        {3, "CODE39", "CODE39"},
        {9, "CODE93", "CODE93"},
    };
    qbtest::TempDir dir;
    for (const auto &code : codes)
        for (int narrow : {2, 3})
            for (int rotation = 0; rotation < 4; ++rotation) {
                SCOPED_TRACE(testing::Message() << "type " << code.type << " narrow " << narrow << " rotation " << rotation);
                VirtualPrinter printer = print([&] {
                    // A label as wide as the head, the origin where the code
                    // has room whichever way it turns.
                    static const int kX[] = {10, 60, 94, 40}, kY[] = {50, 10, 150, 190};
                    QB_SetPaperSize(0, 100, 200, 3);
                    QB_SetClear();
                    QB_PrintBarcode(kX[rotation], kY[rotation], rotation, code.type, narrow, narrow * 3, 100, 1, code.data);
                    QB_Print(1);
                });
                auto labels = printer.take_labels();
                ASSERT_EQ(labels.size(), 1u);
                EXPECT_TRUE(printer.diagnostics().empty());
                EXPECT_GT(labels[0].image.count_black(), 1000);
                const std::string png = dir.path() + "/code.png";
                ASSERT_TRUE(quillbar::preview::write_png(png, labels[0].image));
                EXPECT_EQ(qbtest::zbar_decode(png), code.decoded);
            }
}

// Data a printer would refuse is reported with the rule it breaks, and
// nothing is drawn for it.
TEST(Barcodes, DataThePrinterWouldRefuseNamesTheRule) {
    const struct {
        const char *line;
        const char *rule;
    } rows[] = {
        {"B10,10,0,E30,2,2,50,N,\"12345\"", "EAN-13 takes 12 to 13 digits, not 5"},
        {"B10,10,0,E32,2,2,50,N,\"123456789012\"", "and 2 add-on digits"},
        {"B10,10,0,UA0,2,2,50,N,\"12345A789012\"", "UPC-A takes digits only"},
        {"B10,10,0,0,2,6,50,N,\"12\"", "17 or 18 digits"},
        {"B10,10,0,1D,2,6,50,N,\"AB12345678XX\"", "two characters, eight digits and DE"},
        {"B10,10,0,P,2,6,50,N,\"1234\"", "5, 9, 11 or 13 digits"},
        {"B10,10,0,1C,2,6,50,N,\"123\"", "even number of digits"},
        {"B10,10,0,Z9,2,6,50,N,\"123\"", "no bar code selection 'Z9'"},
        {"b10,10,Q,eX,\"text\"", "is not L, M, Q or H"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        VirtualPrinter printer;
        const std::string stream = std::string("N\n") + row.line + "\nP1\n";
        printer.feed(stream.data(), stream.size());
        ASSERT_EQ(printer.diagnostics().size(), 1u);
        EXPECT_NE(printer.diagnostics()[0].message.find(row.rule), std::string::npos) << printer.diagnostics()[0].message;
        EXPECT_EQ(printer.take_labels().at(0).image.count_black(), 0);
    }
}

// ---- streams that are cut, malformed or noise ------------------------------------------------

TEST(BadStreams, EachBadLineIsReportedAtItsOffsetAndTheNextLineWorks) {
    std::string pcx_ok;
    {
        Bitmap b(8, 8);
        b.fill(0, 0, 8, 8);
        const auto v = quillbar::preview::encode_pcx(b);
        pcx_ok.assign(v.begin(), v.end());
    }
    const struct {
        const char *what;
        std::string bad;
        const char *says;
    } rows[] = {
        {"unknown command", "%%9\n", "unknown command"},
        {"missing field", "LO10,10,20\n", "field 4 is missing"},
        {"not a number", "LO10,1x,20,20\n", "field 2 is not a number"},
        {"unquoted text", "A10,10,0,3,1,1,N,ABC\n", "not quoted data"},
        {"bad font", "A10,10,0,12,1,1,N,\"ABC\"\n", "no resident font 12"},
        {"bad GW header", "GW1,x,1,1,\xFF\xFF\n", "GW: field 2 is not a number"},
        {"bad GM line", "GMLOGO 12\n", "expected GM\"NAME\""},
        {"PCX it cannot decode", "GM\"BAD\"5\nhello", "PCX shorter than its 128-byte header"},
        {"duplicate graphic", "GM\"DUP\"" + std::to_string(pcx_ok.size()) + "\n" + pcx_ok + "GM\"DUP\"" +
                                  std::to_string(pcx_ok.size()) + "\n" + pcx_ok,
         "already stored"},
        {"unknown stored graphic", "GG1,1,\"NONE\"\n", "no graphic stored"},
        {"line too long", std::string(70000, 'A') + "\n", "line longer than"},
        {"bad Q", "Q100,X\n", "gap is not a number"},
        // A field printers do not take is refused, as on an A line, never drawn from the first ones.
        {"LO with a fifth field", "LO2,556,247,206,1\n", "LO: field 5 ('1') is one too many: LO takes 4"},
        {"LE with a fifth field", "LE2,2,20,20,1\n", "LE: field 5"},
        {"LW with a fifth field", "LW2,2,20,20,0\n", "LW: field 5"},
        {"X with a sixth field", "X10,10,2,100,100,7\n", "X: field 6 ('7') is one too many: X takes 5"},
        {"B with a field before its data", "B10,10,0,1,2,4,50,N,5,\"123\"\n", "not quoted data"},
        {"b with a bare number among its options", "b10,10,Q,s3,7,\"123\"\n", "field 5 ('7') is no option"},
        {"PDF417 with a third size", "b10,10,P,400,100,7,\"123\"\n", "two sizes at most"},
        {"an upper-case soft font not stored", "A10,10,0,A,1,1,N,\"x\"\n", "no soft font \"A\" is stored"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string before = "N\n";
        const std::string stream = before + row.bad + "LO0,0,8,8\nP1\n";
        VirtualPrinter printer;
        printer.feed(stream.data(), stream.size());
        printer.finish();
        ASSERT_FALSE(printer.diagnostics().empty());
        const auto said = std::find_if(printer.diagnostics().begin(), printer.diagnostics().end(),
                                       [&](const auto &d) { return d.message.find(row.says) != std::string::npos; });
        ASSERT_NE(said, printer.diagnostics().end()) << printer.diagnostics().back().message;
        const auto &d = *said;
        EXPECT_GE(d.offset, before.size());
        EXPECT_LT(d.offset, before.size() + row.bad.size());
        auto labels = printer.take_labels();
        ASSERT_EQ(labels.size(), 1u);
        EXPECT_EQ(black(labels[0].image, 0, 0, 8, 8), 64);
    }
}

TEST(BadStreams, AStreamCutAtEveryByteOfAGwNeverCrashesAndSaysWhatIsMissing) {
    const std::string stream = std::string("N\nGW16,8,2,3,") + std::string("\x0F\xF0\x00\x0A\"\xFF", 6) + "\nP1\n";
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        VirtualPrinter printer;
        printer.feed(stream.data(), cut);
        printer.finish();
        // "N\n" is bytes 0-1, the header 2-12, its data 13-18, then "\n" and "P1\n".
        const bool inside_data = cut >= 13 && cut <= 18;
        const bool mid_line = cut == 1 || (cut >= 3 && cut <= 12) || (cut >= 21 && cut <= 22);
        EXPECT_EQ(printer.diagnostics().size(), inside_data || mid_line ? 1u : 0u);
        EXPECT_EQ(printer.take_labels().size(), cut == stream.size() ? 1u : 0u);
    }
    // In chunks of every size, the label comes out the same, dot for dot.
    VirtualPrinter whole;
    whole.feed(stream.data(), stream.size());
    const Bitmap expected = whole.take_labels().at(0).image;
    EXPECT_EQ(expected.count_black(), 28);  // the zero bits of the six data bytes
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        VirtualPrinter printer;
        for (std::size_t at = 0; at < stream.size(); at += chunk)
            printer.feed(stream.data() + at, std::min(chunk, stream.size() - at));
        const auto labels = printer.take_labels();
        ASSERT_EQ(labels.size(), 1u);
        long differ = 0;
        for (int y = 0; y < expected.height(); ++y)
            for (int x = 0; x < 64; ++x) differ += expected.black(x, y) != labels[0].image.black(x, y);
        EXPECT_EQ(differ, 0) << "chunks of " << chunk;
    }
}

TEST(BadStreams, BinaryNoiseNeverCrashesOrHangsAndThePrinterRecovers) {
    std::mt19937 random(20261207);
    std::string noise(1 << 20, '\0');
    for (char &c : noise) c = static_cast<char>(random() & 0xFF);
    // Noise with command letters sprinkled in reaches deeper.
    for (std::size_t i = 0; i < noise.size(); i += 97) noise[i] = "\nGWAPBXLOQqN,\"0123456789"[random() % 24];
    const auto start = std::chrono::steady_clock::now();
    VirtualPrinter printer;
    for (std::size_t at = 0; at < noise.size(); at += 4093) printer.feed(noise.data() + at, std::min<std::size_t>(4093, noise.size() - at));
    printer.finish();
    printer.take_labels();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    const std::string good = "\nq400\nQ200,24\nN\nLO0,0,10,10\nP1\n";
    printer.feed(good.data(), good.size());
    const auto labels = printer.take_labels();
    ASSERT_EQ(labels.size(), 1u);
    EXPECT_EQ(labels[0].image.count_black(), 100);
}

TEST(Labels, EmptyLabelsAndObjectsOutsideAreNoted) {
    VirtualPrinter printer;
    const std::string stream = "q200\nQ100,24\nN\nP1\nN\nLO190,90,20,20\nP2,3\n";
    printer.feed(stream.data(), stream.size());
    auto labels = printer.take_labels();
    ASSERT_EQ(labels.size(), 2u);
    ASSERT_EQ(labels[0].notes.size(), 1u);
    EXPECT_NE(labels[0].notes[0].find("nothing on it"), std::string::npos);
    ASSERT_EQ(labels[1].notes.size(), 1u);
    EXPECT_NE(labels[1].notes[0].find("past the label"), std::string::npos);
    EXPECT_EQ(labels[1].sets, 2);
    EXPECT_EQ(labels[1].copies, 3);
    EXPECT_EQ(labels[1].image.count_black(), 100);  // clipped at the edges
}

// ---- the tool as a virtual printer on a serial port -------------------------------------------

// quillbar-preview started with args; where is what its first line names
// ("device: /dev/pts/N", "listening: 127.0.0.1:PORT").
struct RunningTool {
    explicit RunningTool(const std::vector<std::string> &args) {
        int out[2];
        if (pipe(out) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            std::vector<char *> argv{const_cast<char *>(QUILLBAR_PREVIEW_TOOL)};
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(QUILLBAR_PREVIEW_TOOL, argv.data());
            _exit(127);
        }
        close(out[1]);
        from = fdopen(out[0], "r");
        char line[256] = {};
        if (!std::fgets(line, sizeof line, from)) return;
        where = line;
        where = where.substr(where.find(' ') + 1);
        if (!where.empty() && where.back() == '\n') where.pop_back();
    }
    ~RunningTool() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (from) std::fclose(from);
    }
    // The exit status once it ends by itself, or -1.
    int status() {
        int st = -1;
        waitpid(pid, &st, 0);
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    pid_t pid = -1;
    FILE *from = nullptr;
    std::string where;
};

TEST(PreviewTool, ServesAPseudoTerminalAndRendersWhatTheLibraryPrints) {
    qbtest::TempDir dir;
    const std::string png = dir.path() + "/label.png";
    RunningTool tool({"--serve", "--labels", "1", "-o", png});
    ASSERT_FALSE(tool.where.empty());
    qbtest::open_port_on(3, tool.where);
    QB_SetPaperSize(0, 40, 20, 3);
    QB_SetClear();
    QB_PrintLine(0, 0, 40, 20);
    QB_Print(1);
    QB_PortClose();
    EXPECT_EQ(tool.status(), 0);
    EXPECT_GT(qbtest::read_file(png).size(), 50u);
}

// A client that crashes with the port open leaves the terminal's exclusive
// flag set; the tool clears it once no process holds the terminal, so the
// next client, root or not, can open it.
TEST(PreviewTool, ClearsTheExclusiveFlagAClientThatCrashedLeftBehind) {
    RunningTool tool({"--serve", "-o", "/dev/null"});
    static std::string device;
    device = tool.where;
    // The client takes the port and dies without closing it.
    const pid_t client = fork();
    if (client == 0) {
        if (QB_PortSetDevice(3, device.c_str()) != 0 || QB_PortOpen(3, 9600) != 0) _exit(1);
        pause();
        _exit(0);
    }
    const auto exclusive = [] {
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);  // root may open it all the same
        int flag = -1;
        ioctl(fd, TIOCGEXCL, &flag);
        ::close(fd);
        return flag;
    };
    for (int i = 0; i < 50 && exclusive() != 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(exclusive(), 1) << "the client did not take the port";
    kill(client, SIGKILL);
    waitpid(client, nullptr, 0);
    int flag = 1;
    for (int i = 0; i < 100 && (flag = exclusive()) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(flag, 0);
}

// The tool as a printer on a pseudo-terminal and on TCP: ^ee is answered on
// the same line with the code of the last line that failed; on TCP every
// connection is a job, taken in turn, the library's tcp:// route among them.
TEST(PreviewTool, AnswersErrorReportsAndTakesJobsOnEveryLine) {
    for (const char *mode : {"--serve", "--listen"}) {
        SCOPED_TRACE(mode);
        qbtest::TempDir dir;
        const std::string png = dir.path() + "/label.png";
        RunningTool tool(std::string(mode) == "--serve"
                             ? std::vector<std::string>{"--serve", "--labels", "2", "-o", png}
                             : std::vector<std::string>{"--listen", "127.0.0.1:0", "--labels", "2", "-o", png});
        const std::string where = tool.where;
        const std::string route = std::string(mode) == "--serve" ? where : "tcp://" + where;
        // Two jobs: the first asks for the error report after a bad line.
        for (int job = 0; job < 2; ++job) {
            qbtest::open_port_on(1, route);
            ASSERT_EQ(QB_SendCommand(job == 0 ? "XYZZY" : "N"), 0);
            if (job == 0) {
                ASSERT_EQ(QB_SendCommand("^ee"), 0);
                // The reply comes back on the same line: read it where the library wrote.
                std::string reply;
                if (std::string(mode) == "--serve") {
                    const int fd = ::open(where.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
                    for (int i = 0; i < 100 && reply.find("\r\n") == std::string::npos; ++i) {
                        char buf[16];
                        const ssize_t n = ::read(fd, buf, sizeof buf);
                        if (n > 0) reply.append(buf, static_cast<std::size_t>(n));
                        else std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    }
                    ::close(fd);
                    EXPECT_EQ(reply, "01\r\n");
                }
            }
            ASSERT_EQ(QB_PrintLine(0, 0, 2, 2), 0);
            ASSERT_EQ(QB_Print(1), 0);
            ASSERT_EQ(QB_PortClose(), 0);
        }
        EXPECT_EQ(tool.status(), 2);  // the bad line is reported
        EXPECT_GT(qbtest::read_file(dir.path() + "/label-2.png").size(), 50u);
    }
    QB_PortSetDevice(1, nullptr);
}

// ^ee over TCP: the reply arrives on the connection that asked.
TEST(PreviewTool, AnswersOnTheTcpConnectionThatAsked) {
    RunningTool tool({"--listen", "127.0.0.1:0", "-o", "/dev/null"});
    const std::string where = tool.where;
    const int port = std::stoi(where.substr(where.rfind(':') + 1));
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    const std::string ask = "B0,0,0,E30,2,2,50,N,\"1\"\n^ee\nUI\n";
    ASSERT_EQ(write(fd, ask.data(), ask.size()), static_cast<ssize_t>(ask.size()));
    std::string reply;
    for (int i = 0; i < 50 && reply.size() < 14; ++i) {
        pollfd pfd{fd, POLLIN, 0};
        char buf[64];
        if (poll(&pfd, 1, 100) == 1) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) reply.append(buf, static_cast<std::size_t>(n));
        }
    }
    EXPECT_EQ(reply, "03\r\nUI80,001\r\n");
    close(fd);
}

}  // namespace
