// SPDX-License-Identifier: MIT
// Every command export, byte for byte on a pseudo-terminal standing in for
// the printer's serial port.
#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quillbar.h"
#include "command_table.h"
#include "connection/line.h"
#include "support.h"

namespace {

using qbtest::Pty;

using qbtest::CommandCase;
using qbtest::command_cases;

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
        const int expected_rc = (c.result == 0 && c.wire.empty()) ? 0 : -1;
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

// A line is the same bytes wherever its fields fall against the inline
// buffer's end (160 bytes): before it, across it, just after it, or a number
// whose digits straddle it.
TEST(LongText, LinesAreWholeAcrossTheInlineBuffersEnd) {
    for (std::size_t name : {std::size_t{0}, std::size_t{140}, std::size_t{150}, std::size_t{154}, std::size_t{155},
                             std::size_t{156}, std::size_t{157}, std::size_t{158}, std::size_t{159}, std::size_t{160},
                             std::size_t{300}, std::size_t{5000}}) {
        SCOPED_TRACE(name);
        const std::string text(name, 'n');
        quillbar::Line line("GM");
        line.quoted(text).joined(-9223372036854775807LL - 1).num(1234567).mm(-3).count(0).word("B").word_mm("Q", 30);
        const std::string expected = "GM\"" + text + "\"-9223372036854775808,1234567,-24,,B,Q240\n";
        const quillbar::Line unfinished(line);  // a copy keeps the bytes, inline or not
        EXPECT_EQ(std::string(line.finish()), expected);
        EXPECT_EQ(std::string(line.finish()), expected);  // finishing again changes nothing
        EXPECT_EQ(unfinished.header(), expected.substr(0, expected.size() - 1) + ",");
    }
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
