// SPDX-License-Identifier: MIT
// Opening and closing ports, the last error, and ports that misbehave.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "connection/device.h"
#include "quillbar.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;
using qbtest::Pty;
using qbtest::TempDir;

class Port : public testing::Test {
protected:
    void TearDown() override {
        QB_PortClose();
        quillbar::set_no_progress_timeout(15s);
        for (int p = 1; p <= 4; ++p) QB_PortSetDevice(p, nullptr);
    }
};

// ---- the last error ------------------------------------------------------

TEST(LastError, TextsAreCodeAndGb2312Message) {
    struct Row {
        int code;
        std::function<int()> cause;
        const char *text;
    };
    const Row rows[] = {
        {ERR_PARAMETER, [] { return QB_SetDarkness(99); }, "1001--\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3"},
        {ERR_PORT_WRITE, [] { return QB_Print(1); }, "1002--\xB6\xCB\xBF\xDA\xB4\xF2\xD3\xA1\xB4\xED\xCE\xF3"},
        {ERR_PORT_OPEN,
         [] {
             QB_PortSetDevice(3, "/nonexistent/tty");
             return QB_PortOpen(3, 9600);
         },
         "2001--\xB4\xF2\xBF\xAA\xCD\xA8\xD1\xB6\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3"},
        {ERR_PORT_CLOSE, [] { return QB_PortClose(); },
         "2002--\xB9\xD8\xB1\xD5\xCD\xA8\xD1\xB6\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3"},
    };
    QB_PortClose();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(row.cause(), -1);
        EXPECT_EQ(QB_GetLastErrorCode(), row.code);
        EXPECT_STREQ(QB_GetLastError(), row.text);
        EXPECT_STREQ(QB_GetLastError(), row.text);  // reading it changes nothing
    }
    QB_PortSetDevice(3, nullptr);
}

// The UTF-8 message says what failed and why, in the system's words where
// the system said no.
TEST(LastError, MessagesNameTheCause) {
    TempDir dir;
    const std::string missing = dir.path() + "/ttyUSB9";
    const std::string locked = dir.file("locked");
    const int holder = ::open(locked.c_str(), O_RDWR);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const struct {
        std::function<int()> cause;
        int code;
        std::string message;
    } rows[] = {
        {[] { return QB_SetDarkness(16); }, ERR_PARAMETER, "darkness 16 is outside 0..15"},
        {[] { return QB_PortOpen(5, 9600); }, ERR_PARAMETER, "port 5 is not 1 (LPT1), 2 (LPT2), 3 (COM1) or 4 (COM2)"},
        {[] { return QB_PortOpen(3, 9601); }, ERR_PARAMETER, "baud 9601 is not 9600, 19200 or 38400"},
        {[] { return QB_PrintChineseStr(0, 0, 0, 0, 4, 0, "123456789012345678901234567"); }, ERR_PARAMETER,
         "text too long: at most 26 bytes at size 4"},
        {[] { return QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, "A\nP9999"); }, ERR_PARAMETER,
         "the text holds a line end (CR or LF)"},
        {[] { return QB_SendCommand(nullptr); }, ERR_PARAMETER, "the command line is NULL"},
        {[] { return QB_Print(1); }, ERR_PORT_WRITE, "no port is open"},
        {[] { return QB_PortClose(); }, ERR_PORT_CLOSE, "no port is open"},
        {[&] { QB_PortSetDevice(3, missing.c_str()); return QB_PortOpen(3, 9600); }, ERR_PORT_OPEN,
         "cannot open " + missing + ": No such file or directory"},
        {[&] { QB_PortSetDevice(3, locked.c_str()); return QB_PortOpen(3, 9600); }, ERR_PORT_OPEN,
         locked + " is in use by another program"},
    };
    QB_PortClose();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_EQ(row.cause(), -1);
        EXPECT_EQ(QB_GetLastErrorCode(), row.code);
        EXPECT_EQ(QB_GetLastErrorMessage(), row.message);
    }
    ::close(holder);
    QB_PortSetDevice(3, nullptr);
}

TEST(Version, HeaderAndLibraryAgree) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%d.%d.%d", QUILLBAR_VERSION_MAJOR, QUILLBAR_VERSION_MINOR,
                  QUILLBAR_VERSION_PATCH);
    EXPECT_STREQ(QUILLBAR_VERSION_STRING, expected);
    EXPECT_STREQ(QB_GetVersion(), QUILLBAR_VERSION_STRING);
}

TEST_F(Port, SuccessNeverClearsTheCode) {
    QB_PortClose();
    ASSERT_EQ(QB_SetClear(), -1);
    Pty pty;
    qbtest::open_port_on(3, pty.slave());
    for (int i = 0; i < 5; ++i) ASSERT_EQ(QB_Print(1), 0);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
    EXPECT_EQ(std::string(QB_GetLastError()).rfind("1002--", 0), 0u);
}

// ---- opening and closing --------------------------------------------------

TEST_F(Port, RejectsBadSelectorsAndSpeedsBeforeTouchingThePort) {
    Pty pty;
    qbtest::open_port_on(3, pty.slave());
    struct Row {
        int port, baud;
    };
    for (const Row &r : {Row{0, 9600}, Row{5, 9600}, Row{-1, 9600}, Row{3, 4800}, Row{3, 0}, Row{1, 115200},
                         Row{4, -9600}}) {
        SCOPED_TRACE(testing::Message() << r.port << "," << r.baud);
        EXPECT_EQ(QB_PortOpen(r.port, r.baud), -1);
        EXPECT_EQ(QB_GetLastErrorCode(), ERR_PARAMETER);
    }
    // The port opened before is still open and in use.
    EXPECT_EQ(QB_Print(2), 0);
    EXPECT_EQ(pty.drain(), "P2\n");
    EXPECT_EQ(QB_PortSetDevice(0, "/dev/null"), -1);
    EXPECT_EQ(QB_PortSetDevice(5, "/dev/null"), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PARAMETER);
}

TEST_F(Port, SerialLineIsRaw8N1AtTheChosenSpeed) {
    const struct {
        int baud;
        speed_t speed;
    } rows[] = {{9600, B9600}, {19200, B19200}, {38400, B38400}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.baud);
        Pty pty;
        ASSERT_EQ(QB_PortSetDevice(4, pty.slave().c_str()), 0);
        ASSERT_EQ(QB_PortOpen(4, row.baud), 0);
        termios t{};
        ASSERT_EQ(tcgetattr(pty.keeper(), &t), 0);
        EXPECT_EQ(cfgetospeed(&t), row.speed);
        EXPECT_EQ(cfgetispeed(&t), row.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
        // LF reaches the printer as one LF byte, binary bytes unchanged.
        ASSERT_EQ(QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, "\x7f\x03\x11\x13\xff"), 0);
        EXPECT_EQ(pty.drain(), "A0,0,0,1,1,1,N,\"\x7f\x03\x11\x13\xff\"\n");
        EXPECT_EQ(QB_PortClose(), 0);
    }
}

TEST_F(Port, CloseWithNothingOpenFails) {
    QB_PortClose();
    EXPECT_EQ(QB_PortClose(), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_CLOSE);
    Pty pty;
    qbtest::open_port_on(3, pty.slave());
    EXPECT_EQ(QB_PortClose(), 0);
    EXPECT_EQ(QB_PortClose(), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_CLOSE);
    EXPECT_EQ(QB_SetClear(), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
}

TEST_F(Port, DeviceThatDoesNotOpenFailsTheOpenForEveryKind) {
    TempDir dir;
    const std::string missing = dir.path() + "/missing";
    for (int port = 1; port <= 4; ++port) {
        SCOPED_TRACE(port);
        ASSERT_EQ(QB_PortSetDevice(port, missing.c_str()), 0);
        EXPECT_EQ(QB_PortOpen(port, 38400), -1);
        EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_OPEN);
        EXPECT_EQ(QB_SetClear(), -1);  // nothing is open
        EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
    }
    EXPECT_FALSE(std::filesystem::exists(missing));  // never created
}

TEST_F(Port, ParallelPortCapturesToFileAndAcceptsAnySpeedOfTheThree) {
    TempDir dir;
    const std::string capture = dir.file("lpt.epl", "earlier\n");
    ASSERT_EQ(QB_PortSetDevice(2, capture.c_str()), 0);
    ASSERT_EQ(QB_PortOpen(2, 38400), 0);
    ASSERT_EQ(QB_SetClear(), 0);
    ASSERT_EQ(QB_Print(1), 0);
    ASSERT_EQ(QB_PortClose(), 0);
    EXPECT_EQ(qbtest::read_file(capture), "earlier\nN\nP1\n");
}

// Line settings belong to terminals: a serial selector routed to anything
// else opens with success and sends its bytes unchanged; a terminal behind a
// parallel selector still gets a raw line, at the speed it had.
TEST_F(Port, EveryKindOfRouteOpensWithTheSettingsThatFitIt) {
    TempDir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int fifo_reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    Pty lpt_pty;
    termios slow{};
    ASSERT_EQ(tcgetattr(lpt_pty.keeper(), &slow), 0);
    cfsetospeed(&slow, B4800);
    cfsetispeed(&slow, B4800);
    ASSERT_EQ(tcsetattr(lpt_pty.keeper(), TCSANOW, &slow), 0);
    const std::string plain = dir.file("plain");
    const struct {
        const char *name;
        int port;
        std::string device;
        std::function<std::string()> received;
    } rows[] = {
        {"com_to_file", 3, plain, [&] { return qbtest::read_file(plain); }},
        {"com_to_fifo", 4, fifo,
         [&] {
             char buf[64] = {};
             const ssize_t n = ::read(fifo_reader, buf, sizeof buf);
             return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
         }},
        {"com_to_dev_null", 3, "/dev/null", [] { return std::string("GW0,0,1,1,\n\n"); }},
        {"lpt_to_pty", 1, lpt_pty.slave(), [&] { return lpt_pty.drain(); }},
    };
    const char gw[] = "GW0,0,1,1,\n\n";  // binary data holding an LF, then the line end
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(QB_PortSetDevice(row.port, row.device.c_str()), 0);
        ASSERT_EQ(QB_PortOpen(row.port, 19200), 0) << QB_GetLastErrorMessage();
        ASSERT_EQ(QB_SendBytes(gw, sizeof gw - 1), 0);
        ASSERT_EQ(QB_PortClose(), 0);
        EXPECT_EQ(row.received(), gw);
    }
    termios t{};
    ASSERT_EQ(tcgetattr(lpt_pty.keeper(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B4800));
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    ::close(fifo_reader);
}

// A FIFO is opened for writing only: without a reader it does not open, and
// a reader that goes away fails the next write at once.
TEST_F(Port, FifoWithoutItsReaderFailsAtOnce) {
    TempDir dir;
    const std::string fifo = dir.path() + "/printer";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(QB_PortSetDevice(1, fifo.c_str()), 0);
    EXPECT_EQ(QB_PortOpen(1, 9600), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_OPEN);
    EXPECT_EQ(std::string(QB_GetLastErrorMessage()), "nothing reads the FIFO " + fifo);

    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_EQ(QB_PortOpen(1, 9600), 0);
    ::close(reader);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QB_SetClear(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
    EXPECT_EQ(std::string(QB_GetLastErrorMessage()), "nothing reads " + fifo + " any more");
}

TEST_F(Port, ReopeningClosesThePortOpenBefore) {
    Pty first, second;
    const int fds = qbtest::open_fd_count();
    for (int round = 0; round < 3; ++round) {
        qbtest::open_port_on(3, first.slave());
        qbtest::open_port_on(3, first.slave());  // the same port again: not refused by our own lock
        qbtest::open_port_on(4, second.slave());
    }
    EXPECT_EQ(qbtest::open_fd_count(), fds + 1);
    ASSERT_EQ(QB_Print(9), 0);
    EXPECT_EQ(second.drain(), "P9\n");
    EXPECT_EQ(first.drain(), "");
    // The first port is free again: another opener can lock it.
    const int other = ::open(first.slave().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
}

TEST_F(Port, SecondOpenerOfASerialPortIsRefused) {
    Pty pty;
    // Someone else holds the port: our open is refused and keeps nothing.
    const int other = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    const int fds = qbtest::open_fd_count();
    ASSERT_EQ(QB_PortSetDevice(3, pty.slave().c_str()), 0);
    EXPECT_EQ(QB_PortOpen(3, 9600), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_OPEN);
    EXPECT_EQ(qbtest::open_fd_count(), fds);
    EXPECT_EQ(QB_Print(1), -1);
    ::close(other);

    // We hold the port: another process cannot take it.
    qbtest::open_port_on(3, pty.slave());
    static std::string slave;
    slave = pty.slave();
    EXPECT_EQ(qbtest::in_child([] {
                  const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
                  return flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 0 : 1;
              }),
              0);
}

// A file route under a file-size limit: the write that passes it fails the
// call, and the process lives on (SIGXFSZ would end it).
TEST_F(Port, AFileSizeLimitFailsTheCallInsteadOfEndingTheProcess) {
    TempDir dir;
    static std::string file;
    static bool limit_after_open;  // the limit may come at any time, not only before the open
    for (bool after : {false, true}) {
        limit_after_open = after;
        file = dir.file(after ? "after.epl" : "before.epl");
        EXPECT_EQ(qbtest::in_child([] {
                      const rlimit limit{64, 64};
                      if (!limit_after_open && setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
                      if (QB_PortSetDevice(1, file.c_str()) != 0 || QB_PortOpen(1, 9600) != 0) return 3;
                      if (limit_after_open && setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
                      if (QB_SendBytes(std::string(60, 'A').data(), 60) != 0) return 4;
                      if (QB_SendBytes(std::string(60, 'B').data(), 60) != -1 ||
                          QB_GetLastErrorCode() != ERR_PORT_WRITE)
                          return 5;
                      return std::string(QB_GetLastErrorMessage()).find("file-size limit") != std::string::npos ? 0
                                                                                                               : 6;
                  }),
                  0)
            << after;
        EXPECT_EQ(qbtest::read_file(file).substr(0, 60), std::string(60, 'A'));
    }
}

// A message longer than the store holds is cut where a character starts,
// never inside one: what the caller gets is still UTF-8.
TEST_F(Port, ALongMessageIsCutAtACharacterBoundary) {
    for (const std::string &pad : {std::string(""), std::string("a"), std::string("ab")}) {
        std::string path = "/nonexistent/" + pad;
        for (int i = 0; i < 400; ++i) path += "\xE4\xB8\xAD";  // 中
        QB_PortSetDevice(1, path.c_str());
        EXPECT_EQ(QB_PortOpen(1, 9600), -1);
        const std::string message = QB_GetLastErrorMessage();
        EXPECT_GT(message.size(), 1000u);
        EXPECT_LT(message.size(), 1024u);
        // The last character is whole: its lead byte and all its bytes.
        std::size_t lead = message.size() - 1;
        while (lead > 0 && (static_cast<unsigned char>(message[lead]) & 0xC0) == 0x80) --lead;
        const auto first = static_cast<unsigned char>(message[lead]);
        const std::size_t length = first < 0x80 ? 1 : first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
        EXPECT_EQ(message.size() - lead, length) << pad.size();
    }
    QB_PortSetDevice(1, nullptr);
}

TEST_F(Port, NoDescriptorLeaksOnAnyPath) {
    TempDir dir;
    Pty pty;
    const std::string plain = dir.file("plain");
    const int fds = qbtest::open_fd_count();
    for (int i = 0; i < 20; ++i) {
        QB_PortSetDevice(3, (dir.path() + "/missing").c_str());
        QB_PortOpen(3, 9600);  // does not open
        QB_PortSetDevice(3, plain.c_str());
        QB_PortOpen(3, 9600);  // opens, no settings
        QB_PortSetDevice(3, pty.slave().c_str());
        QB_PortOpen(3, 9600);  // replaces the one before
        QB_PortOpen(3, 1);     // refused, keeps it
        QB_PortClose();
        QB_PortClose();
    }
    EXPECT_EQ(qbtest::open_fd_count(), fds);
}

// ---- ports that misbehave -------------------------------------------------

TEST_F(Port, PrinterThatVanishesFailsTheNextWriteAndThePortRecovers) {
    auto pty = std::make_unique<Pty>();
    qbtest::open_port_on(3, pty->slave());
    ASSERT_EQ(QB_SetClear(), 0);
    EXPECT_EQ(pty->drain(), "N\n");
    pty->hang_up();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QB_PrintLine(1, 1, 10, 1), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // at once, no waiting
    QB_PortClose();
    pty = std::make_unique<Pty>();
    qbtest::open_port_on(3, pty->slave());
    EXPECT_EQ(QB_Print(1), 0);
    EXPECT_EQ(pty->drain(), "P1\n");
}

TEST_F(Port, SlowReaderGetsEveryByteInOrderAndIsNeverCutOff) {
    quillbar::set_no_progress_timeout(300ms);
    Pty pty;
    qbtest::open_port_on(3, pty.slave());
    std::string text(256 * 1024, '.');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + (i * 7) % 26);
    const std::string expected = "A0,0,0,1,1,1,N,\"" + text + "\"\n";

    std::string received;
    std::thread reader([&] {
        while (received.size() < expected.size()) {
            std::this_thread::sleep_for(20ms);
            received += pty.read_exact(std::min<std::size_t>(8192, expected.size() - received.size()), 1s);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, text.c_str()), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    reader.join();
    EXPECT_GT(took, 300ms);  // longer than the no-progress time, yet not cut off
    EXPECT_TRUE(received == expected);
}

TEST_F(Port, ReaderThatNeverDrainsFailsTheWriteInsteadOfHanging) {
    quillbar::set_no_progress_timeout(250ms);
    Pty pty;
    qbtest::open_port_on(3, pty.slave());
    const std::string text(1 << 20, 'q');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, text.c_str()), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 5s);
    // The port is still usable once the printer takes bytes again.
    pty.drain(10ms);
    while (!pty.drain(50ms).empty()) {
    }
    EXPECT_EQ(QB_Print(1), 0);
}

TEST_F(Port, FifoWhoseReaderGoesAwayNeverKillsTheProcess) {
    quillbar::set_no_progress_timeout(200ms);
    TempDir dir;
    const std::string fifo = dir.path() + "/printer";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    qbtest::open_port_on(1, fifo);
    ASSERT_EQ(QB_SetClear(), 0);
    char buf[8] = {};
    ASSERT_EQ(::read(reader, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "N\n");
    ::close(reader);
    const std::string text(1 << 20, 'w');
    EXPECT_EQ(QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, text.c_str()), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
}

}  // namespace
