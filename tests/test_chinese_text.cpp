// SPDX-License-Identifier: MIT
// Chinese text drawn on the host: the GW command on the wire, and the image
// decoded back into dots and checked as a reader of the label would.
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "connection/connection.h"
#include "gw_image.h"
#include "label/font_finder.h"
#include "label/glyph_renderer.h"
#include "quillbar.h"
#include "support.h"

namespace {

using quillbar::tools::GwImage;

// GB2312 bytes of the characters used below.
const std::string kZhong = "\xD6\xD0";  // 中
const std::string kWen = "\xCE\xC4";    // 文
const std::string kGuo = "\xB9\xFA";    // 国
const std::string kComma = "\xA3\xAC";  // ，(full width)

struct CellSize {
    int size, width, height;
};
const CellSize kSizes[] = {{1, 16, 24}, {2, 16, 32}, {3, 24, 40}, {4, 24, 48}};

class ChineseText : public testing::Test {
protected:
    void SetUp() override {
        capture_ = dir_.file("printer.epl");
        qbtest::open_port_on(1, capture_);
    }
    void TearDown() override {
        QB_PortClose();
        QB_PortSetDevice(1, nullptr);
    }

    // What one call sent.
    std::string sent(const std::function<int()> &call) {
        EXPECT_EQ(::truncate(capture_.c_str(), 0), 0);
        EXPECT_EQ(call(), 0);
        return qbtest::read_file(capture_);
    }
    GwImage image(int face, int style, int size, int rotation, const std::string &text) {
        const auto images = quillbar::tools::find_gw(
            sent([&] { return QB_PrintChineseStr(0, 0, face, style, size, rotation, text.c_str()); }));
        EXPECT_EQ(images.size(), 1u);
        return images.empty() ? GwImage{} : images[0];
    }

    qbtest::TempDir dir_;
    std::string capture_;
};

long ink(const GwImage &g, long x0 = 0, long x1 = -1, long y0 = 0, long y1 = -1) {
    if (x1 < 0) x1 = g.width();
    if (y1 < 0) y1 = g.rows;
    long n = 0;
    for (long y = y0; y < y1; ++y)
        for (long x = x0; x < x1; ++x) n += g.ink(x, y);
    return n;
}

// ---- on the wire -----------------------------------------------------------------

TEST_F(ChineseText, SendsHeaderImageAndLineEnd) {
    const std::string text = kZhong + kWen;
    const std::string wire = sent([&] { return QB_PrintChineseStr(10, 20, 0, 0, 1, 0, text.c_str()); });
    const std::string header = "GW80,160,8,24,";
    ASSERT_EQ(wire.size(), header.size() + 192 + 1);
    EXPECT_EQ(wire.substr(0, header.size()), header);
    EXPECT_EQ(wire.back(), '\n');
    // Black text on white: some ink, mostly background.
    const GwImage g = quillbar::tools::find_gw(wire).at(0);
    EXPECT_GT(ink(g), 40);
    EXPECT_LT(ink(g), 64 * 24 / 2);
}

TEST_F(ChineseText, HeadersForEverySizeRotationAndPosition) {
    const std::string two = kZhong + kWen;  // 4 bytes
    const struct {
        int x, y, size, rotation;
        std::string text;
        const char *header;
        std::size_t data;
    } rows[] = {
        {0, 0, 1, 0, two, "GW0,0,8,24,", 192},          {0, 0, 2, 0, two, "GW0,0,8,32,", 256},
        {0, 0, 3, 0, two, "GW0,0,12,40,", 480},         {0, 0, 4, 0, two, "GW0,0,12,48,", 576},
        {125, 200, 3, 0, "A", "GW1000,1600,3,40,", 120}, {-1, 0, 1, 0, "AB", "GW-8,0,4,24,", 96},
        {0, 0, 1, 1, two, "GW0,0,3,64,", 192},          {0, 0, 4, 3, two, "GW0,0,6,96,", 576},
        {0, 0, 2, 2, two, "GW0,0,8,32,", 256},          {3, 4, 1, 0, "", "GW24,32,,24,", 0},
        {0, 0, 3, 1, "", "GW0,0,5,,", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.header);
        const std::string wire =
            sent([&] { return QB_PrintChineseStr(row.x, row.y, 1, 0, row.size, row.rotation, row.text.c_str()); });
        EXPECT_EQ(wire.substr(0, std::string(row.header).size()), row.header);
        EXPECT_EQ(wire.size(), std::string(row.header).size() + row.data + 1);
    }
}

// Selectors outside their tables draw as their defaults, byte for byte.
TEST_F(ChineseText, OutOfTableSelectorsDrawAsTheirDefaults) {
    const std::string text = kZhong + "Ag";
    const auto call = [&](int face, int style, int size, int rotation) {
        return sent([&] { return QB_PrintChineseStr(1, 1, face, style, size, rotation, text.c_str()); });
    };
    const struct {
        const char *what;
        int face, style, size, rotation;
        int as_face, as_style, as_size, as_rotation;
    } rows[] = {
        {"size 0", 0, 0, 0, 0, 0, 0, 3, 0},           {"size 5", 0, 0, 5, 0, 0, 0, 3, 0},
        {"size -1", 0, 0, -1, 0, 0, 0, 3, 0},         {"rotation 7", 0, 0, 1, 7, 0, 0, 1, 0},
        {"rotation -1", 0, 0, 1, -1, 0, 0, 1, 0},     {"style 9", 2, 9, 1, 0, 2, 0, 1, 0},
        {"style -1", 2, -1, 1, 0, 2, 0, 1, 0},        {"face 7", 7, 0, 1, 0, 1, 0, 1, 0},
        {"face -2", -2, 0, 1, 0, 1, 0, 1, 0},         {"face 65536", 65536, 0, 1, 0, 0, 0, 1, 0},
        {"face 65539", 65539, 0, 1, 0, 3, 0, 1, 0},   {"face 0x1FFFF", 0x1FFFF, 0, 1, 0, 1, 0, 1, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(call(r.face, r.style, r.size, r.rotation), call(r.as_face, r.as_style, r.as_size, r.as_rotation));
    }
}

TEST_F(ChineseText, RefusesWhatThePrinterCannotTakeAndSendsNothing) {
    QB_PortClose();
    qbtest::open_port_on(1, capture_);
    std::string endless(5000, 'A');
    const struct {
        int size;
        std::size_t longest;  // bytes that still fit
    } limits[] = {{1, 79}, {2, 59}, {3, 31}, {4, 26}, {0, 31}};
    for (const auto &l : limits) {
        SCOPED_TRACE(l.size);
        EXPECT_EQ(QB_PrintChineseStr(0, 0, 0, 0, l.size, 0, std::string(l.longest, 'x').c_str()), 0);
        for (int rotation : {0, 1}) {
            EXPECT_EQ(QB_PrintChineseStr(0, 0, 0, 0, l.size, rotation, std::string(l.longest + 1, 'x').c_str()), -1);
            EXPECT_EQ(QB_GetLastErrorCode(), ERR_PARAMETER);
        }
    }
    ASSERT_EQ(::truncate(capture_.c_str(), 0), 0);
    EXPECT_EQ(QB_PrintChineseStr(0, 0, 0, 0, 1, 0, endless.c_str()), -1);
    EXPECT_EQ(QB_PrintChineseStr(0, 0, 0, 0, 1, 0, nullptr), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PARAMETER);
    EXPECT_EQ(qbtest::read_file(capture_), "");
}

void on_timer(int) {}

// The command (header, rows, line end) is one write request: a port that
// fails it fails the call, and the next call goes out whole. A pseudo-terminal
// that takes it a little at a time, with signals interrupting the writes and
// waits, still receives every byte in order.
TEST_F(ChineseText, TheCommandIsOneWriteThatArrivesWholeThroughPartialWritesAndSignals) {
    const std::string text(26, 'W');  // the longest text at size 4: 3,744 bytes of rows
    const auto call = [&] { return QB_PrintChineseStr(5, 7, 0, 6, 4, 0, text.c_str()); };
    const std::string one = sent(call);
    ASSERT_GT(one.size(), 3744u);
    quillbar::fail_nth_write(2);  // the second call's write, not the first call's second
    EXPECT_EQ(call(), 0);
    EXPECT_EQ(call(), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
    EXPECT_EQ(sent(call), one);

    qbtest::Pty pty;
    qbtest::open_port_on(3, pty.slave());
    struct sigaction action{}, old{};
    action.sa_handler = on_timer;  // no SA_RESTART: writes and waits see EINTR
    sigaction(SIGALRM, &action, &old);
    itimerval every{{0, 700}, {0, 700}}, off{};
    setitimer(ITIMER_REAL, &every, nullptr);
    constexpr int kLabels = 30;  // far more than the terminal holds: writes are taken in parts
    std::string received;
    std::thread reader([&] {
        char chunk[100];
        while (received.size() < one.size() * kLabels) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            const ssize_t n = read(pty.master(), chunk, sizeof chunk);
            if (n > 0) received.append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN)) break;
        }
    });
    for (int i = 0; i < kLabels; ++i) EXPECT_EQ(call(), 0) << QB_GetLastErrorMessage();
    reader.join();
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    QB_PortClose();
    std::string expected;
    for (int i = 0; i < kLabels; ++i) expected += one;
    EXPECT_TRUE(received == expected) << received.size() << " bytes of " << expected.size();
}

// ---- the drawn image ---------------------------------------------------------------

// Each character's ink stays inside its own cells: drawn between spaces, it
// leaves the neighbouring cells blank.
TEST_F(ChineseText, EachCharacterStaysInItsOwnCells) {
    for (const CellSize &s : kSizes)
        for (int face = 0; face < 4; ++face)
            for (int style : {0, 1, 2, 3})
                for (const std::string &c : {kZhong, kGuo, kComma, std::string("W"), std::string("g"),
                                             std::string("@")}) {
                    SCOPED_TRACE(testing::Message() << "size " << s.size << " face " << face << " style " << style
                                                    << " char " << c);
                    const GwImage g = image(face, style, s.size, 0, "  " + c + "  ");
                    const long first = 2 * s.width, last = first + static_cast<long>(c.size()) * s.width;
                    EXPECT_GT(ink(g, first, last), 0);
                    EXPECT_EQ(ink(g, 0, first) + ink(g, last), 0);
                }
}

// Nothing the font draws falls outside the cell, at any size or style.
TEST(GlyphRenderer, NothingIsCutAtTheTopOrBottom) {
    const std::string text = kZhong + kGuo + "gjyAQ|" + kComma + "\xA1\xB0";  // and “
    for (const CellSize &s : kSizes)
        for (int face = 0; face < 4; ++face)
            for (int style = 0; style <= 6; ++style) {
                SCOPED_TRACE(testing::Message() << "size " << s.size << " face " << face << " style " << style);
                const auto image = quillbar::Render(text, face, s.height, s.width, 400, 0, style);
                EXPECT_EQ(image.clipped, 0);
                EXPECT_EQ(image.width, static_cast<int>(text.size()) * s.width);
                EXPECT_EQ(image.bits.size(), image.row_bytes * s.height);
                EXPECT_EQ(image.row_bytes, static_cast<std::size_t>(image.width + 7) / 8);
            }
}

// Rows laid at every bit offset, and across each edge of the image, give
// what setting their pixels one by one gives.
TEST(GlyphImage, RowsLieAtAnyPixelAndWhatFallsOutsideIsDropped) {
    const int row_size = 9, count = 3;
    std::vector<std::uint8_t> rows;
    for (int i = 0; i < row_size * count; ++i) rows.push_back(static_cast<std::uint8_t>(0xA7 * i + 0x31));
    // 86 wide: 11 bytes a row, the last one part padding. At whole bytes
    // from 0 to 80 a row keeps 9 down to 1 of its bytes.
    const std::vector<std::pair<int, int>> places = {{0, 0},  {8, 1},  {16, 0}, {24, 2}, {32, 0}, {40, 1}, {48, 0},
                                                     {56, 0}, {64, 0}, {72, 3}, {80, 0}, {1, 1},  {3, 0},  {7, 2},
                                                     {13, 1}, {60, 0}, {77, 0}, {83, 0}, {85, 0}, {86, 0}, {-1, 0},
                                                     {5, -2}, {6, 4},  {9, 9}};
    for (const auto &[x, top] : places) {
        SCOPED_TRACE(testing::Message() << "at " << x << "," << top);
        quillbar::GlyphImage laid(86, 6), expected(86, 6);
        laid.set(0, 5);
        expected.set(0, 5);
        laid.lay(x, top, rows.data(), row_size, count);
        for (int r = 0; r < count; ++r)
            for (int p = 0; p < row_size * 8; ++p) {
                const bool ink = rows[static_cast<std::size_t>(r * row_size + p / 8)] & (0x80 >> (p % 8));
                if (ink && x >= 0 && x + p < expected.width && top + r >= 0 && top + r < expected.height)
                    expected.set(x + p, top + r);
            }
        EXPECT_EQ(laid.bits, expected.bits);
    }
}

TEST_F(ChineseText, StylesChangeTheTextAsAReaderExpects) {
    const std::string text = kZhong + kWen + "AH";
    for (const CellSize &s : kSizes)
        for (int face = 0; face < 4; ++face) {
            SCOPED_TRACE(testing::Message() << "size " << s.size << " face " << face);
            const GwImage plain = image(face, 0, s.size, 0, text);
            const GwImage heavy = image(face, 2, s.size, 0, text);
            const GwImage italic = image(face, 1, s.size, 0, text);
            const GwImage underlined = image(face, 4, s.size, 0, text);

            // Heavier, but no full bold.
            EXPECT_GT(ink(heavy), ink(plain) * 105 / 100);
            EXPECT_LT(ink(heavy), ink(plain) * 170 / 100);

            // Italic leans right: row by row, its ink moves right of the plain
            // text's the higher the row is (a shear of about 1:5).
            const auto centre = [](const GwImage &g, long y) {
                double sum = 0, n = 0;
                for (long x = 0; x < g.width(); ++x)
                    if (g.ink(x, y)) sum += x, n += 1;
                return n > 0 ? sum / n : -1.0;
            };
            double sy = 0, sd = 0, syy = 0, syd = 0, n = 0;
            for (long y = 0; y < plain.rows; ++y) {
                const double a = centre(italic, y), b = centre(plain, y);
                if (a < 0 || b < 0) continue;
                sy += y, sd += a - b, syy += double(y) * y, syd += y * (a - b), n += 1;
            }
            const double slope = (n * syd - sy * sd) / (n * syy - sy * sy);
            EXPECT_LT(slope, -0.1);
            EXPECT_GT(slope, -0.3);

            // Underline: a row of ink across the whole text, which plain text lacks.
            const auto full_rows = [](const GwImage &g) {
                int n = 0;
                for (long y = 0; y < g.rows; ++y) n += ink(g, 0, -1, y, y + 1) == g.width();
                return n;
            };
            EXPECT_EQ(full_rows(plain), 0);
            EXPECT_GE(full_rows(underlined), 1);
        }
}

TEST_F(ChineseText, TurnedImagesAreTheUprightImageTurned) {
    const std::string text = kZhong + "Ag" + kWen;
    for (const CellSize &s : kSizes) {
        SCOPED_TRACE(s.size);
        const GwImage upright = image(1, 5, s.size, 0, text);
        const GwImage up = image(1, 5, s.size, 1, text);
        const GwImage flipped = image(1, 5, s.size, 2, text);
        const GwImage down = image(1, 5, s.size, 3, text);
        const long w = upright.width(), h = upright.rows;
        ASSERT_EQ(up.width(), h);
        ASSERT_EQ(up.rows, w);
        ASSERT_EQ(down.width(), h);
        ASSERT_EQ(down.rows, w);
        ASSERT_EQ(flipped.width(), w);
        ASSERT_EQ(flipped.rows, h);
        long differ = 0;
        for (long y = 0; y < h; ++y)
            for (long x = 0; x < w; ++x) {
                const bool dot = upright.ink(x, y);
                differ += dot != up.ink(y, w - 1 - x);  // reads upwards: first character at the bottom
                differ += dot != down.ink(h - 1 - y, x);  // reads downwards: first character at the top
                differ += dot != flipped.ink(w - 1 - x, h - 1 - y);
            }
        EXPECT_LE(differ, 6);
        // The first character (Chinese, two cells) is at the bottom when reading upwards.
        EXPECT_GT(ink(up, 0, -1, w - 2 * s.width, w), 0);
    }
}

TEST_F(ChineseText, FacesLookDifferentWhereDifferentFontsAreInstalled) {
    const std::string text = kZhong + kWen + kGuo;
    std::vector<GwImage> faces;
    std::vector<std::string> families;
    for (int face = 0; face < 4; ++face) {
        faces.push_back(image(face, 0, 4, 0, text));
        families.push_back(quillbar::face_family(face));
        EXPECT_FALSE(families.back().empty()) << "face " << face << ": no Chinese font installed";
    }
    for (int a = 0; a < 4; ++a)
        for (int b = a + 1; b < 4; ++b)
            if (families[a] != families[b]) {
                EXPECT_NE(faces[a].data, faces[b].data) << a << " vs " << b;
            }
}

TEST_F(ChineseText, BytesThatDoNotDecodeLeaveTheirCellsBlank) {
    const CellSize s = kSizes[0];
    const struct {
        const char *what;
        std::string text;
        std::vector<int> blank_cells, inked_cells;
    } rows[] = {
        {"bad lead bytes", "\x80\xFF" + kZhong, {0, 1}, {2}},
        {"bad trail byte", "\xD6\x7F" + kZhong, {0}, {2}},
        {"lead byte at the end", kZhong + "\xD6", {2}, {0}},
        {"lead byte then a digit", "\xD6" "0", {0}, {1}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const GwImage g = image(0, 0, s.size, 0, row.text);
        ASSERT_EQ(g.width(), static_cast<long>(row.text.size()) * s.width);
        for (int c : row.blank_cells) EXPECT_EQ(ink(g, c * s.width, (c + 1) * s.width), 0) << "cell " << c;
        for (int c : row.inked_cells) EXPECT_GT(ink(g, c * s.width, (c + 1) * s.width), 0) << "cell " << c;
    }
}

}  // namespace

namespace {

// What fontconfig's own matcher, with the whole configuration, finds for a
// family: "FILE:INDEX", or "" when the family is not installed.
std::string fc_match(const std::string &family, const char *lang) {
    const std::string command = "fc-match -f '%{family}\\n%{file}:%{index}' '" + family + (lang ? std::string(":lang=") + lang : "") + "'";
    FILE *pipe = popen(command.c_str(), "r");
    std::string out;
    char buf[512];
    while (pipe && fgets(buf, sizeof buf, pipe)) out += buf;
    if (pipe) pclose(pipe);
    const auto newline = out.find('\n');
    if (newline == std::string::npos || out.substr(0, newline).find(family) == std::string::npos) return "";
    return out.substr(newline + 1);
}

}  // namespace

// The finder's small configuration (the standard font folders) chooses the
// file fontconfig's whole configuration chooses; with no listed face in those
// folders, the whole configuration and the folders it names are asked.
TEST(FontFinder, FindsTheFacesTheWholeConfigurationFindsAndFallsBackToIt) {
    qbtest::TempDir empty;
    qbtest::TempDir own;
    const std::string whole_wqy = fc_match("WenQuanYi Zen Hei", "zh-cn");
    ASSERT_NE(whole_wqy, "") << "fonts-wqy-zenhei is needed";
    const std::string wqy_file = whole_wqy.substr(0, whole_wqy.rfind(':'));
    ASSERT_EQ(symlink(wqy_file.c_str(), (own.path() + "/zenhei.ttc").c_str()), 0);
    struct Case {
        std::vector<std::string> folders;  // empty: the standard ones
        const char *family;
        const char *lang;
        std::string expected;  // FILE:INDEX, "" for not found
    } cases[] = {
        {{}, "WenQuanYi Zen Hei", "zh-cn", whole_wqy},
        {{}, "AR PL UMing CN", "zh-cn", fc_match("AR PL UMing CN", "zh-cn")},
        {{}, "AR PL UKai CN", "zh-cn", fc_match("AR PL UKai CN", "zh-cn")},
        {{}, "DejaVu Sans Mono", nullptr, fc_match("DejaVu Sans Mono", nullptr)},
        {{empty.path()}, "WenQuanYi Zen Hei", "zh-cn", whole_wqy},  // only the whole configuration has it
        {{own.path()}, "WenQuanYi Zen Hei", "zh-cn", own.path() + "/zenhei.ttc:0"},  // the small one is asked first
        {{}, "No Such Family QB", nullptr, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.family << " in " << (c.folders.empty() ? "standard" : c.folders[0]));
        if (!c.folders.empty()) quillbar::set_standard_font_folders(c.folders);
        quillbar::FontFile file;
        const bool found = quillbar::find_listed_font({c.family}, c.lang, file);
        EXPECT_EQ(found ? file.path + ":" + std::to_string(file.index) : "", c.expected);
        quillbar::set_standard_font_folders({"/usr/share/fonts", "/usr/local/share/fonts", "xdg:fonts", "~/.fonts"});
    }
}

// An answer remembered across processes is given without asking fontconfig
// (shown by an answer fontconfig would never give), and forgotten as soon as
// anything it depends on changed or the file is not wholly ours.
TEST(FaceMemory, RecallsUntilSomethingItDependsOnChanges) {
    qbtest::TempDir dir;
    const std::string memory = dir.path() + "/cache/quillbar/faces";
    quillbar::set_face_memory_file(memory);
    quillbar::FontFile real;
    ASSERT_TRUE(quillbar::find_listed_font({"DejaVu Sans Mono"}, nullptr, real)) << "fonts-dejavu-core is needed";
    const std::string written = qbtest::read_file(memory);
    const std::string answer = "\t" + std::to_string(real.index) + "\t" + real.family + "\t" + real.path + "\n";
    ASSERT_NE(written.find(answer), std::string::npos) << written;

    const std::string other = dir.file("other.ttf", "not really a face");
    std::string planted = written;
    planted.replace(planted.find(answer), answer.size(), "\t0\tOther\t" + other + "\n");
    const std::string watched = dir.path() + "/watched";
    struct Case {
        const char *what;
        std::string text;
        std::string expected;
    } cases[] = {
        {"as written", planted, other},
        {"a watched path that appeared", planted + "w\t-\t" + watched + "\n", real.path},
        {"a watched path that changed", planted + "w\t1.0/1\t" + dir.path() + "\n", real.path},
        {"the answer's file is gone", written.substr(0, written.find(answer)) + "\t0\tOther\t/no/such.ttf\n", real.path},
        {"another header", "quillbar-faces 2" + planted.substr(planted.find('\n')), real.path},
        {"a line not ours", planted + "x\ty\n", real.path},
        {"a bad index", planted + "f\tq\tone\tOther\t" + other + "\n", real.path},
    };
    ::mkdir(watched.c_str(), 0700);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FILE *f = std::fopen(memory.c_str(), "w");
        ASSERT_TRUE(f);
        std::fputs(c.text.c_str(), f);
        std::fclose(f);
        quillbar::set_face_memory_file(memory);
        quillbar::FontFile got;
        ASSERT_TRUE(quillbar::find_listed_font({"DejaVu Sans Mono"}, nullptr, got));
        EXPECT_EQ(got.path, c.expected);
        // A forgotten memory is written anew with the answer found.
        if (c.expected == real.path) {
            EXPECT_NE(qbtest::read_file(memory).find(answer), std::string::npos);
        }
    }
    quillbar::set_face_memory_file("");
}
