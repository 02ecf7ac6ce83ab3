// Every command export, byte for byte on a pseudo-terminal standing in for
// the printer's serial port.
#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quillbar.h"
#include "support.h"

namespace {

using qbtest::Pty;

struct CommandCase {
    const char *name;
    std::function<int()> call;
    int result;         // 0 or -1
    const char *wire;   // exactly what reaches the printer
    int error;          // the code a failing call stores
};

void PrintTo(const CommandCase &c, std::ostream *os) { *os << c.name; }

// Each row: a call, what it returns, and the bytes on the wire.
const std::vector<CommandCase> &command_cases() {
    static const std::vector<CommandCase> cases = {
        {"com_speed_9600", [] { return QB_SetPrinterComSpeed(1); }, 0, "Y96,N,8,1\n", 0},
        {"com_speed_19200", [] { return QB_SetPrinterComSpeed(2); }, 0, "Y19,N,8,1\n", 0},
        {"com_speed_38400", [] { return QB_SetPrinterComSpeed(3); }, 0, "Y38,N,8,1\n", 0},
        {"com_speed_0", [] { return QB_SetPrinterComSpeed(0); }, -1, "", ERR_PARAMETER},
        {"com_speed_4", [] { return QB_SetPrinterComSpeed(4); }, -1, "", ERR_PARAMETER},
        {"com_dots", [] { return QB_SetPrinterComDots(12345); }, 0, "", 0},
        {"darkness_0", [] { return QB_SetDarkness(0); }, 0, "D0\n", 0},
        {"darkness_15", [] { return QB_SetDarkness(15); }, 0, "D15\n", 0},
        {"darkness_16", [] { return QB_SetDarkness(16); }, -1, "", ERR_PARAMETER},
        {"darkness_minus_1", [] { return QB_SetDarkness(-1); }, -1, "", ERR_PARAMETER},
        {"speed_1", [] { return QB_SetPrintSpeed(1); }, 0, "S1\n", 0},
        {"speed_4", [] { return QB_SetPrintSpeed(4); }, 0, "S4\n", 0},
        {"speed_0", [] { return QB_SetPrintSpeed(0); }, -1, "", ERR_PARAMETER},
        {"speed_5", [] { return QB_SetPrintSpeed(5); }, -1, "", ERR_PARAMETER},
        {"xy", [] { return QB_SetPrintXY(2, 3); }, 0, "R16,24\n", 0},
        {"xy_negative", [] { return QB_SetPrintXY(-2, 0); }, 0, "R-16,0\n", 0},
        {"feed_100", [] { return QB_SetPrintFeedDim(100); }, 0, "f800\n", 0},
        {"feed_70", [] { return QB_SetPrintFeedDim(70); }, 0, "f560\n", 0},
        {"feed_130", [] { return QB_SetPrintFeedDim(130); }, 0, "f1040\n", 0},
        {"feed_69", [] { return QB_SetPrintFeedDim(69); }, -1, "", ERR_PARAMETER},
        {"feed_131", [] { return QB_SetPrintFeedDim(131); }, -1, "", ERR_PARAMETER},
        {"paper_gap", [] { return QB_SetPaperSize(0, 50, 30, 3); }, 0, "q400\nQ240,24\n", 0},
        {"paper_mark_no_width", [] { return QB_SetPaperSize(1, -1, 30, 3); }, 0, "Q240,B24\n", 0},
        {"paper_no_length", [] { return QB_SetPaperSize(1, 50, -1, 3); }, 0, "q400\n", 0},
        {"paper_neither", [] { return QB_SetPaperSize(1, -1, -1, 3); }, 0, "", 0},
        {"paper_150mm", [] { return QB_SetPaperSize(0, 104, 150, 3); }, 0, "q832\nQ1200,24\n", 0},
        {"paper_negative", [] { return QB_SetPaperSize(7, -2, -3, -4); }, 0, "q-16\nQ-24,B-32\n", 0},
        {"clear", [] { return QB_SetClear(); }, 0, "N\n", 0},
        {"initialize", [] { return QB_SetInitialize(2, 8, 1); }, 0, "S2\nD8\nJB\n", 0},
        {"initialize_backup", [] { return QB_SetInitialize(4, 0, 0); }, 0, "S4\nD0\nJF\n", 0},
        {"initialize_speed_5", [] { return QB_SetInitialize(5, 8, 1); }, -1, "", ERR_PARAMETER},
        {"initialize_darkness_16", [] { return QB_SetInitialize(1, 16, 1); }, -1, "", ERR_PARAMETER},
        {"back_off", [] { return QB_SetPrintBack(0); }, 0, "JF\n", 0},
        {"back_on", [] { return QB_SetPrintBack(7); }, 0, "JB\n", 0},
        {"line", [] { return QB_PrintLine(10, 5, 40, 1); }, 0, "LO80,40,320,8\n", 0},
        {"line_extremes", [] { return QB_PrintLine(INT_MAX, INT_MIN, 0, -1); }, 0,
         "LO17179869176,-17179869184,0,-8\n", 0},
        {"box", [] { return QB_PrintBox(1, 2, 50, 30, 1); }, 0, "X8,16,8,400,240\n", 0},
        {"text", [] { return QB_PrintCharacter(5, 5, 0, 3, 1, 1, 0, "ABC"); }, 0,
         "A40,40,0,3,1,1,N,\"ABC\"\n", 0},
        {"text_reverse", [] { return QB_PrintCharacter(5, 5, 1, 4, 2, 3, -5, "ABC"); }, 0,
         "A40,40,1,4,2,3,R,\"ABC\"\n", 0},
        {"text_quote_unescaped", [] { return QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, "say \"hi\"\\"); }, 0,
         "A0,0,0,1,1,1,N,\"say \"hi\"\\\"\n", 0},
        {"text_empty", [] { return QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, ""); }, 0,
         "A0,0,0,1,1,1,N,\"\"\n", 0},
        {"text_gb2312", [] { return QB_PrintCharacter(1, 1, 0, 8, 1, 1, 0, "\xD6\xD0\xCE\xC4"); }, 0,
         "A8,8,0,8,1,1,N,\"\xD6\xD0\xCE\xC4\"\n", 0},
        {"text_null", [] { return QB_PrintCharacter(5, 5, 0, 3, 1, 1, 0, nullptr); }, -1, "", ERR_PARAMETER},
        {"barcode", [] { return QB_PrintBarcode(5, 10, 0, 3, 2, 6, 100, 1, "123"); }, 0,
         "B40,80,0,3,2,6,100,B,\"123\"\n", 0},
        {"barcode_plain", [] { return QB_PrintBarcode(0, 0, 2, 1, 3, 7, -9, 0, ""); }, 0,
         "B0,0,2,1,3,7,-9,N,\"\"\n", 0},
        {"barcode_null", [] { return QB_PrintBarcode(5, 10, 0, 3, 2, 6, 100, 1, nullptr); }, -1, "",
         ERR_PARAMETER},
        {"print_1", [] { return QB_Print(1); }, 0, "P1\n", 0},
        {"print_0", [] { return QB_Print(0); }, 0, "P0\n", 0},
        {"print_minus_1", [] { return QB_Print(-1); }, 0, "P-1\n", 0},
        {"mem_graphics", [] { return QB_PrintMemGraphics(1, 2, "LOGO"); }, 0, "GG8,16,\"LOGO\"\n", 0},
        {"mem_graphics_null", [] { return QB_PrintMemGraphics(1, 2, nullptr); }, -1, "", ERR_PARAMETER},
        {"delete_graphics", [] { return QB_DeleteMemGraphics("LOGO"); }, 0, "GK\"LOGO\"\nGK\"LOGO\"\n", 0},
        {"delete_graphics_null", [] { return QB_DeleteMemGraphics(nullptr); }, -1, "", ERR_PARAMETER},
    };
    return cases;
}

class Command : public testing::TestWithParam<CommandCase> {
protected:
    void SetUp() override { qbtest::open_port_on(3, pty_.slave()); }
    void TearDown() override { QB_PortClose(); }
    Pty pty_;
};

TEST_P(Command, SendsExactlyItsLines) {
    const CommandCase &c = GetParam();
    const int code_before = QB_GetLastErrorCode();
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(pty_.drain(std::chrono::milliseconds(30)), c.wire);
    // A failure stores its code; a success leaves the last one as it was.
    EXPECT_EQ(QB_GetLastErrorCode(), c.result == 0 ? code_before : c.error);
}

INSTANTIATE_TEST_SUITE_P(AllExports, Command, testing::ValuesIn(command_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// Calls that pass their checks fail at the write when no port is open; the
// ones that send nothing succeed all the same.
TEST(CommandWithoutPort, FailsWithWriteErrorOrSucceedsWhenNothingIsSent) {
    QB_PortClose();
    for (const CommandCase &c : command_cases()) {
        SCOPED_TRACE(c.name);
        const int expected_rc = (c.result == 0 && *c.wire == '\0') ? 0 : -1;
        const int expected_code = c.result != 0 ? c.error : ERR_PORT_WRITE;
        const int before = QB_GetLastErrorCode();
        EXPECT_EQ(c.call(), expected_rc);
        EXPECT_EQ(QB_GetLastErrorCode(), expected_rc == 0 ? before : expected_code);
    }
}

// A long text is written whole, in one command line.
TEST(LongText, MegabyteTextIsWrittenInFull) {
    qbtest::TempDir dir;
    const std::string capture = dir.file("capture.epl");
    qbtest::open_port_on(1, capture);
    std::string text(1 << 20, 'x');
    for (std::size_t i = 0; i < text.size(); i += 97) text[i] = static_cast<char>('A' + i % 26);
    EXPECT_EQ(QB_PrintCharacter(1, 2, 0, 2, 1, 1, 0, text.c_str()), 0);
    EXPECT_EQ(QB_PrintBarcode(1, 2, 0, 1, 2, 6, 50, 0, text.c_str()), 0);
    EXPECT_EQ(QB_PortClose(), 0);
    EXPECT_EQ(qbtest::read_file(capture),
              "A8,16,0,2,1,1,N,\"" + text + "\"\n" + "B8,16,0,1,2,6,50,N,\"" + text + "\"\n");
}

// Several threads printing at once: every line arrives whole.
TEST(Threads, CommandsFromSeveralThreadsNeverInterleave) {
    qbtest::TempDir dir;
    const std::string capture = dir.file("capture.epl");
    qbtest::open_port_on(2, capture);
    const std::string payload(3000, 'z');
    constexpr int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) QB_PrintCharacter(t, i, 0, 1, 1, 1, 0, payload.c_str());
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(QB_PortClose(), 0);

    const std::string stream = qbtest::read_file(capture);
    std::size_t lines = 0, start = 0;
    const std::string tail = ",0,1,1,1,N,\"" + payload + "\"";
    for (std::size_t end; (end = stream.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
        const std::string line = stream.substr(start, end - start);
        ASSERT_GT(line.size(), tail.size());
        ASSERT_EQ(line.compare(line.size() - tail.size(), tail.size(), tail), 0) << "line " << lines;
        ASSERT_EQ(line[0], 'A');
    }
    EXPECT_EQ(start, stream.size());
    EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
