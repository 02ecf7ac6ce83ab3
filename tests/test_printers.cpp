// SPDX-License-Identifier: MIT
// Several printers in one program, and whether a label printed: handles on
// real routes (files, FIFOs, pseudo-terminals, virtual printers on TCP), the
// printer's own answers, and faults the virtual printer keeps on purpose.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "connection/answers.h"
#include "print_server.h"
#include "quillbar.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string tcp(const qbtest::ListeningPrinter &p) { return "tcp://127.0.0.1:" + std::to_string(p.port()); }

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// ---- the contract of a handle ------------------------------------------------------------

TEST(PrinterHandle, RefusesWhatIsNoPrinter) {
    qbtest::TempDir dir;
    struct Row {
        const char *device;
        int baud;
        int code;
        const char *says;
    } rows[] = {
        {nullptr, 9600, QB_ERR_PARAMETER, "NULL"},
        {"", 9600, QB_ERR_PARAMETER, "empty"},
        {"/dev/null", 4800, QB_ERR_PARAMETER, "baud 4800"},
        {"/nonexistent/printer", 9600, QB_ERR_PORT_OPEN, "/nonexistent/printer"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.device ? row.device : "(NULL)");
        EXPECT_EQ(QB_PrinterOpen(row.device, row.baud), nullptr);
        EXPECT_EQ(QB_GetLastErrorCode(), row.code);
        EXPECT_NE(std::string(QB_GetLastErrorMessage()).find(row.says), std::string::npos) << QB_GetLastErrorMessage();
    }
    // NULL and closed handles: 1001 from every kind of call, never a crash.
    QB_Printer *closed = QB_PrinterOpen(dir.file("x.epl").c_str(), 0);
    ASSERT_NE(closed, nullptr);
    ASSERT_EQ(QB_PrinterClose(closed), 0);
    for (QB_Printer *p : {static_cast<QB_Printer *>(nullptr), closed}) {
        EXPECT_EQ(QB_PrinterSetClear(p), -1);
        EXPECT_EQ(QB_PrinterPrintCharacter(p, 1, 1, 0, 1, 1, 1, 0, "X"), -1);
        EXPECT_EQ(QB_PrinterStatus(p, 10), -1);
        EXPECT_EQ(QB_PrinterDownPicture(p, "/dev/null", "X"), -1);
        EXPECT_EQ(QB_PrinterClose(p), -1);
        EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PARAMETER);
        EXPECT_EQ(QB_PrinterGetLastErrorCode(p), QB_ERR_PARAMETER);
        EXPECT_NE(std::string(QB_PrinterGetLastErrorMessage(p)).find(p ? "closed" : "NULL"), std::string::npos);
    }
    EXPECT_EQ(qbtest::read_file(dir.path() + "/x.epl"), "");
}

TEST(PrinterHandle, EachPrinterHasItsOwnBytesAndErrors) {
    qbtest::TempDir dir;
    const std::string a_path = dir.file("a.epl"), b_path = dir.file("b.epl"), flat_path = dir.file("flat.epl");
    QB_Printer *a = QB_PrinterOpen(a_path.c_str(), 0);
    QB_Printer *b = QB_PrinterOpen(b_path.c_str(), 0);
    ASSERT_TRUE(a && b);
    qbtest::open_port_on(1, flat_path);
    QB_SetDarkness(99);  // the flat API's own failure
    EXPECT_EQ(QB_PrinterSendCommand(a, "FOR_A"), 0);
    EXPECT_EQ(QB_PrinterSetDarkness(b, 16), -1);
    EXPECT_EQ(QB_PrinterPrintLine(b, 1, 2, 3, 4), 0);
    EXPECT_EQ(QB_SendCommand("FOR_FLAT"), 0);
    EXPECT_EQ(QB_PrinterGetLastErrorCode(a), 0);
    EXPECT_STREQ(QB_PrinterGetLastErrorMessage(a), "");
    EXPECT_EQ(QB_PrinterGetLastErrorCode(b), QB_ERR_PARAMETER);
    EXPECT_STREQ(QB_PrinterGetLastErrorMessage(b), "darkness 16 is outside 0..15");
    EXPECT_STREQ(QB_GetLastErrorMessage(), "darkness 99 is outside 0..15");
    EXPECT_EQ(QB_PrinterClose(a), 0);
    EXPECT_EQ(QB_PrinterClose(b), 0);
    EXPECT_EQ(QB_PortClose(), 0);
    EXPECT_EQ(qbtest::read_file(a_path), "FOR_A\n");
    EXPECT_EQ(qbtest::read_file(b_path), "LO8,16,24,32\n");
    EXPECT_EQ(qbtest::read_file(flat_path), "FOR_FLAT\n");
}

// Each thread's failures on one printer stay its own: an error read right
// after a call is that call's.
TEST(PrinterHandle, ErrorsReadAfterACallAreThatCallsInEveryThread) {
    qbtest::TempDir dir;
    QB_Printer *p = QB_PrinterOpen(dir.file("p.epl").c_str(), 0);
    ASSERT_NE(p, nullptr);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const int value = 16 + t * 1000 + i;
                QB_PrinterSetDarkness(p, value);
                if (QB_PrinterGetLastErrorMessage(p) != "darkness " + std::to_string(value) + " is outside 0..15") ++wrong;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    QB_PrinterClose(p);
}

// ---- several printers, several threads -----------------------------------------------------

std::string label_for(const std::string &who, int n) {
    return "N\nA10,10,0,3,1,1,N,\"" + who + " " + std::to_string(n) + "\"\nP1\n";
}

void print_labels(QB_Printer *p, const std::string &who, int count, std::atomic<int> &failures) {
    for (int n = 0; n < count; ++n)
        if (QB_PrinterSetClear(p) || QB_PrinterSendCommand(p, ("A10,10,0,3,1,1,N,\"" + who + " " + std::to_string(n) + "\"").c_str()) ||
            QB_PrinterPrint(p, 1))
            ++failures;
}

TEST(SeveralPrinters, TwoPrintersTwoThreadsNeverMixAByte) {
    qbtest::TempDir dir_a, dir_b;
    qbtest::ListeningPrinter a(QUILLBAR_PREVIEW_TOOL, dir_a.path()), b(QUILLBAR_PREVIEW_TOOL, dir_b.path());
    ASSERT_TRUE(a.port() && b.port());
    QB_Printer *pa = QB_PrinterOpen(tcp(a).c_str(), 0);
    QB_Printer *pb = QB_PrinterOpen(tcp(b).c_str(), 0);
    ASSERT_TRUE(pa && pb) << QB_GetLastErrorMessage();
    std::atomic<int> failures{0};
    std::thread ta(print_labels, pa, "FOR_A", 200, std::ref(failures));
    std::thread tb(print_labels, pb, "FOR_B", 200, std::ref(failures));
    ta.join();
    tb.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(QB_PrinterClose(pa), 0);
    EXPECT_EQ(QB_PrinterClose(pb), 0);
    ASSERT_TRUE(a.wait_for_jobs(1, 30) && b.wait_for_jobs(1, 30));
    std::string want_a, want_b;
    for (int n = 0; n < 200; ++n) want_a += label_for("FOR_A", n), want_b += label_for("FOR_B", n);
    EXPECT_EQ(a.raw(), want_a);
    EXPECT_EQ(b.raw(), want_b);
}

TEST(SeveralPrinters, OneHandleSharedByFourThreadsKeepsEachCommandWhole) {
    qbtest::TempDir dir;
    qbtest::ListeningPrinter printer(QUILLBAR_PREVIEW_TOOL, dir.path());
    QB_Printer *p = QB_PrinterOpen(tcp(printer).c_str(), 0);
    ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < 50; ++n)
                if (QB_PrinterSendCommand(p, ("T" + std::to_string(t) + " " + std::to_string(n)).c_str())) ++failures;
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(QB_PrinterClose(p), 0);
    ASSERT_TRUE(printer.wait_for_jobs(1, 30));
    // Every line whole, each thread's in its own order.
    int next[4] = {};
    const std::string raw = printer.raw();
    std::size_t lines = 0;
    for (std::size_t at = 0, end; (end = raw.find('\n', at)) != std::string::npos; at = end + 1, ++lines) {
        const std::string line = raw.substr(at, end - at);
        ASSERT_EQ(line[0], 'T') << line;
        const int t = line[1] - '0';
        EXPECT_EQ(line, "T" + std::to_string(t) + " " + std::to_string(next[t]++));
    }
    EXPECT_EQ(lines, 200u);
    EXPECT_EQ(failures.load(), 0);
}

// ---- did it print? ---------------------------------------------------------------------

TEST(PrinterStatus, EachFaultIsReportedUntilItClearsThenKeptLabelsPrintOnce) {
    struct Row {
        const char *fault;
        int code;
        bool serial;
    } rows[] = {
        {"paper-out", QB_STATUS_PAPER_OUT, false},
        {"head-open", QB_STATUS_HEAD_UP, false},
        {"paused", QB_STATUS_PAUSED, false},
        {"head-open", QB_STATUS_HEAD_UP, true},
        {"paper-out@2", QB_STATUS_PAPER_OUT, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.fault) + (row.serial ? " on a serial line" : " on tcp"));
        qbtest::TempDir dir;
        std::vector<std::string> options = {"--fault", row.fault};
        if (row.serial) options.push_back("--serve");
        qbtest::ListeningPrinter printer(QUILLBAR_PREVIEW_TOOL, dir.path(), options);
        QB_Printer *p = QB_PrinterOpen(row.serial ? printer.device().c_str() : tcp(printer).c_str(), row.serial ? 9600 : 0);
        ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
        const bool from_second = std::string(row.fault).find("@2") != std::string::npos;
        if (from_second) {
            EXPECT_EQ(QB_PrinterStatus(p, 2000), QB_STATUS_OK);
            EXPECT_EQ(QB_PrinterSendCommand(p, "N"), 0);
            EXPECT_EQ(QB_PrinterPrint(p, 1), 0);
            EXPECT_TRUE(printer.wait_for_lines("label 1:", 1, 10));
        }
        EXPECT_EQ(QB_PrinterSendCommand(p, "N"), 0);
        EXPECT_EQ(QB_PrinterPrintLine(p, 1, 1, 10, 10), 0);
        EXPECT_EQ(QB_PrinterPrint(p, 1), 0);
        EXPECT_EQ(QB_PrinterStatus(p, 2000), row.code);
        EXPECT_TRUE(printer.wait_for_lines("label ", from_second ? 2 : 1, 10));
        EXPECT_EQ(printer.lines("label " + std::string(from_second ? "2" : "1") + " kept"), 1);
        printer.signal(SIGUSR1);
        EXPECT_TRUE(printer.wait_for_lines("fault cleared", 1, 10));
        EXPECT_EQ(QB_PrinterStatus(p, 2000), QB_STATUS_OK);
        // The kept label printed once; nothing else was printed.
        EXPECT_EQ(printer.lines("label "), from_second ? 3 : 2);  // "label N kept" and "label N: file"
        EXPECT_EQ(QB_PrinterClose(p), 0);
    }
}

// An answer left unread when a network printer is closed must not reset the
// connection: the printer would drop what it has not read yet.
TEST(PrinterClose, NetworkPrinterGetsEveryLabelWhateverAnswersAreUnread) {
    struct Row {
        const char *what;
        bool flat;
        std::function<void(QB_Printer *)> before_close;
    } rows[] = {
        {"a status query that timed out", false, [](QB_Printer *p) { EXPECT_EQ(QB_PrinterStatus(p, 0), -1); }},
        {"UQ, its answer unread", false, [](QB_Printer *p) { EXPECT_EQ(QB_PrinterSendCommand(p, "UQ"), 0); }},
        {"UQ, its answer unread (flat)", true, [](QB_Printer *) { EXPECT_EQ(QB_SendCommand("UQ"), 0); }},
    };
    constexpr int kLabels = 300;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        qbtest::TempDir dir;
        qbtest::ListeningPrinter printer(QUILLBAR_PREVIEW_TOOL, dir.path(), {});
        QB_Printer *p = nullptr;
        if (row.flat) {
            ASSERT_EQ(QB_PortSetDevice(1, tcp(printer).c_str()), 0);
            ASSERT_EQ(QB_PortOpen(1, 9600), 0) << QB_GetLastErrorMessage();
        } else {
            p = QB_PrinterOpen(tcp(printer).c_str(), 0);
            ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
        }
        const auto send = [&](const char *line) { return p ? QB_PrinterSendCommand(p, line) : QB_SendCommand(line); };
        EXPECT_EQ(send("UQ"), 0);  // an answer waiting from the start
        for (int i = 0; i < kLabels; ++i) {
            EXPECT_EQ(send("N"), 0);
            EXPECT_EQ(send("A10,10,0,1,1,1,N,\"label\""), 0);
            EXPECT_EQ(send("P1"), 0);
        }
        row.before_close(p);
        EXPECT_EQ(p ? QB_PrinterClose(p) : QB_PortClose(), 0) << QB_GetLastErrorMessage();
        EXPECT_TRUE(printer.wait_for_lines("job 1 done", 1, 10));
        const std::string raw = printer.raw();
        long labels = 0;
        for (std::size_t at = 0; (at = raw.find("P1\n", at)) != std::string::npos; ++at) ++labels;
        EXPECT_EQ(labels, kLabels);
    }
    QB_PortSetDevice(1, nullptr);
}

TEST(PrinterStatus, RoutesThatCannotAnswerSayUnknownAtOnce) {
    qbtest::TempDir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    for (const std::string &route : {dir.file("file.epl"), fifo, std::string("/dev/null")}) {
        SCOPED_TRACE(route);
        QB_Printer *p = QB_PrinterOpen(route.c_str(), 0);
        ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
        const auto start = Clock::now();
        EXPECT_EQ(QB_PrinterStatus(p, 5000), QB_STATUS_UNKNOWN);
        EXPECT_LT(ms_since(start), 100);
        QB_PrinterClose(p);
    }
    close(reader);
    // The default printer too; with no port open the query cannot go.
    qbtest::open_port_on(1, dir.file("flat.epl"));
    EXPECT_EQ(QB_GetPrinterStatus(1000), QB_STATUS_UNKNOWN);
    QB_PortClose();
    EXPECT_EQ(QB_GetPrinterStatus(1000), QB_STATUS_UNKNOWN);
    EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PORT_WRITE);
    EXPECT_EQ(QB_GetPrinterStatus(-1), QB_STATUS_UNKNOWN);
    EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PARAMETER);
}

// A serial printer that never answers: unknown after the timeout, not
// before and not much after; an answer that comes late is not taken for the
// next query's, and bytes that are no answer are passed over.
TEST(PrinterStatus, SilentAndLateAnswersOnASerialLine) {
    qbtest::Pty pty;
    QB_Printer *p = QB_PrinterOpen(pty.slave().c_str(), 9600);
    ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
    for (int timeout : {600, 1200}) {
        const auto start = Clock::now();
        EXPECT_EQ(QB_PrinterStatus(p, timeout), QB_STATUS_UNKNOWN);
        const long long took = ms_since(start);
        EXPECT_GE(took, timeout * 8 / 10);
        EXPECT_LE(took, timeout * 12 / 10);
    }
    EXPECT_EQ(pty.drain(), "^ee\n^ee\n");
    // The two late answers arrive, with an ACK and a configuration line the
    // application asked for itself; then the printer answers the next query.
    const std::string late = "00\r\n\x06UQ\r\n11\r\n";
    ASSERT_EQ(write(pty.master(), late.data(), late.size()), static_cast<ssize_t>(late.size()));
    std::thread printer([&] {
        EXPECT_EQ(pty.read_exact(4), "^ee\n");
        ASSERT_EQ(write(pty.master(), "07,P005\r\n", 9), 9);
    });
    EXPECT_EQ(QB_PrinterStatus(p, 3000), QB_STATUS_PAPER_OUT);
    printer.join();
    // Several codes: the one that most needs the operator.
    std::thread several([&] {
        EXPECT_EQ(pty.read_exact(4), "^ee\n");
        ASSERT_EQ(write(pty.master(), "01,12,07\r\n", 10), 10);
    });
    EXPECT_EQ(QB_PrinterStatus(p, 3000), QB_STATUS_PAPER_OUT);
    several.join();
    QB_PrinterClose(p);
}

// Whatever went wrong with one query, the next gets its own answer: a
// printer that now answers 00 at once is reported as 0.
TEST(PrinterStatus, EachQueryGetsItsOwnAnswerWhateverCameBefore) {
    struct Row {
        const char *what;
        const char *unasked;      // sent before the first query
        const char *answer;       // to the first query (nullptr: none)
        const char *late;         // arrives after the first query gave up
        bool reopen;              // the second query comes from a new handle
        int first;
    } rows[] = {
        {"garbage", "", "XY\r\n", "", false, -1},
        {"half an answer", "", "0", "", false, -1},
        {"no answer", "", nullptr, "", false, -1},
        {"an unasked message", "07\r\n", "00\r\n", "", false, 0},
        {"a late answer", "", nullptr, "07\r\n", false, -1},
        {"another handle's late answer", "", nullptr, "07\r\n", true, -1},
        {"an unasked message, then a half answer", "12\r\n", "1", "1\r\n", false, -1},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << row.what);
        qbtest::Pty pty;
        QB_Printer *p = QB_PrinterOpen(pty.slave().c_str(), 9600);
        ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
        const auto say = [&](const char *text) {
            const std::size_t n = std::strlen(text);
            ASSERT_EQ(write(pty.master(), text, n), static_cast<ssize_t>(n));
        };
        say(row.unasked);
        std::thread printer([&] {
            EXPECT_EQ(pty.read_exact(4), "^ee\n");
            if (row.answer) say(row.answer);
        });
        EXPECT_EQ(QB_PrinterStatus(p, 400), row.first);
        printer.join();
        say(row.late);
        if (row.reopen) {
            EXPECT_EQ(QB_PrinterClose(p), 0);
            p = QB_PrinterOpen(pty.slave().c_str(), 9600);
            ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
        }
        std::thread recovered([&] {
            EXPECT_EQ(pty.read_exact(4), "^ee\n");
            say("00\r\n");
        });
        EXPECT_EQ(QB_PrinterStatus(p, 2000), QB_STATUS_OK);
        recovered.join();
        QB_PrinterClose(p);
    }
}

// Printers whose answers do not line up with the queries, asked back to
// back: a result is the query's own code or unknown, never another query's;
// and no query takes longer than its timeout (a poll's slice more).
TEST(PrinterStatus, AnAnswerIsNeverTakenByTheNextQuery) {
    struct Row {
        const char *what;
        int timeout_ms;
        int delay_ms;   // before the answer
        int repeat_ms;  // the answer again this long after (0: once)
        bool must_answer;  // every query gets its own answer
    } rows[] = {
        {"repeats each answer 20 ms later", 500, 0, 20, true},
        {"answers 120 ms late, asked with 100 ms", 100, 120, 0, false},
        {"answers 30 ms late", 500, 30, 0, true},
    };
    const int codes[] = {7, 0, 11, 0, 7, 0, 11, 0};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << row.what);
        qbtest::Pty pty;
        QB_Printer *p = QB_PrinterOpen(pty.slave().c_str(), 9600);
        ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
        std::atomic<bool> done{false};
        std::thread printer([&] {
            for (std::size_t q = 0; !done; ++q) {
                if (pty.read_exact(4, milliseconds(300)) != "^ee\n") continue;
                char answer[8];
                std::snprintf(answer, sizeof answer, "%02d\r\n", codes[q % std::size(codes)]);
                std::this_thread::sleep_for(milliseconds(row.delay_ms));
                (void)!write(pty.master(), answer, 4);
                if (row.repeat_ms) {
                    std::this_thread::sleep_for(milliseconds(row.repeat_ms));
                    (void)!write(pty.master(), answer, 4);
                }
            }
        });
        std::string got;
        for (int code : codes) {
            const auto start = Clock::now();
            const int status = QB_PrinterStatus(p, row.timeout_ms);
            EXPECT_LE(ms_since(start), row.timeout_ms + 60);
            got += std::to_string(status) + " ";
            if (row.must_answer) EXPECT_EQ(status, code) << got;
            else EXPECT_TRUE(status == code || status == QB_STATUS_UNKNOWN) << got;
        }
        done = true;
        printer.join();
        QB_PrinterClose(p);
    }
}

// A printer that never stops sending: the query keeps to its timeout.
TEST(PrinterStatus, AFloodingPrinterCostsNoMoreThanTheTimeout) {
    qbtest::Pty pty;
    QB_Printer *p = QB_PrinterOpen(pty.slave().c_str(), 9600);
    ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
    std::atomic<bool> done{false};
    std::thread flood([&] {
        const std::string lines(4096, '0');
        while (!done) {
            (void)!write(pty.master(), "07\r\n00\r\n", 8);
            (void)!write(pty.master(), lines.data(), lines.size());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::thread drain([&] {
        while (!done) pty.drain(milliseconds(20));
    });
    for (int timeout : {0, 200, 500}) {
        const auto start = Clock::now();
        const int status = QB_PrinterStatus(p, timeout);
        EXPECT_LE(ms_since(start), timeout + 50) << timeout;
        EXPECT_TRUE(status == QB_STATUS_UNKNOWN || status == QB_STATUS_OK || status == QB_STATUS_PAPER_OUT);
    }
    done = true;
    flood.join();
    drain.join();
    QB_PrinterClose(p);
}

// With several codes in one answer, the one that most needs the operator,
// in the order the header promises, whichever comes first on the line.
TEST(PrinterStatus, SeveralCodesGiveTheMostUrgentInEitherOrder) {
    const int order[] = {QB_STATUS_HEAD_UP,   QB_STATUS_PAPER_OUT, QB_STATUS_MEDIA_FEED, QB_STATUS_CUTTER,
                         QB_STATUS_SENSOR,    QB_STATUS_PAUSED,    QB_STATUS_HEAD_HOT,   QB_STATUS_MOTOR_HOT,
                         QB_STATUS_BATTERY_LOW, QB_STATUS_SYNTAX};
    const auto two = [](int code) {
        char text[8];
        std::snprintf(text, sizeof text, "%02d", code);
        return std::string(text);
    };
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << order[i] << " before " << order[i + 1]);
        for (const std::string &line : {two(order[i]) + "," + two(order[i + 1]), two(order[i + 1]) + "," + two(order[i])}) {
            int code = -2;
            EXPECT_TRUE(quillbar::parse_status_answer(line, code)) << line;
            EXPECT_EQ(code, order[i]) << line;
        }
    }
    // What is no answer: not taken for one.
    for (const char *line : {"", "XY", "7", "007", "07,", ",07", "P005", "07,Q1", "07 11"}) {
        int code = -2;
        EXPECT_FALSE(quillbar::parse_status_answer(line, code)) << line;
    }
    int code = -2;
    EXPECT_TRUE(quillbar::parse_status_answer("07,P005", code));
    EXPECT_EQ(code, QB_STATUS_PAPER_OUT);
    // Bytes as they come off the line: flow control and acknowledgements
    // between answers are passed over; any other byte that no answer holds
    // spoils its line, never vanishes from it.
    const struct {
        std::string bytes;
        int code;  // -2: no answer
    } lines[] = {{std::string("0\0" "0\r\n", 5), -2}, {"\x06\x11" "07\r\n", 7}, {"0\x01" "0\r\n", -2},
                 {"\x13" "00\x11\r\n", 0}, {std::string("\0\r\n11\r\n", 7), 11}};
    for (const auto &line : lines) {
        quillbar::AnswerReader reader;
        reader.add(line.bytes.data(), line.bytes.size());
        code = -2;
        EXPECT_EQ(reader.next(code) ? code : -2, line.code) << testing::PrintToString(line.bytes);
    }
}

// ---- message handlers that cannot outlive their owner -----------------------------------

struct Seen {
    std::atomic<int> calls{0};
};

// Slow, and touching its context at the end, as a dialog that is closed does.
void count_stage(const char *, void *context) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    static_cast<Seen *>(context)->calls++;
}

TEST(MessageHandlers, RemovingOneWaitsUntilNoThreadIsInsideIt) {
    qbtest::TempDir dir;
    const std::string picture = dir.file("logo.pcx", std::string(64, 'P'));
    QB_Printer *p = QB_PrinterOpen(dir.file("out.epl").c_str(), 0);
    ASSERT_NE(p, nullptr);
    std::atomic<bool> done{false};
    std::thread sender([&] {
        while (!done) QB_PrinterDownPicture(p, picture.c_str(), "LOGO");
    });
    // Each context is freed as soon as its handler is replaced: under ASan a
    // handler still running would read freed memory.
    Seen *current = nullptr;
    for (int round = 0; round < 200; ++round) {
        Seen *next = round % 3 == 2 ? nullptr : new Seen;
        QB_PrinterSetMessageHandler(p, next ? count_stage : nullptr, next);
        delete current;
        current = next;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    QB_PrinterSetMessageHandler(p, nullptr, nullptr);
    delete current;
    done = true;
    sender.join();
    EXPECT_EQ(QB_PrinterClose(p), 0);
}

QB_Printer *g_self_replacing = nullptr;
void replaces_itself(const char *, void *) { QB_PrinterSetMessageHandler(g_self_replacing, nullptr, nullptr); }

TEST(MessageHandlers, AHandlerMayReplaceItself) {
    qbtest::TempDir dir;
    const std::string picture = dir.file("logo.pcx", "PCX");
    g_self_replacing = QB_PrinterOpen(dir.file("out.epl").c_str(), 0);
    ASSERT_NE(g_self_replacing, nullptr);
    QB_PrinterSetMessageHandler(g_self_replacing, replaces_itself, nullptr);
    EXPECT_EQ(QB_PrinterDownPicture(g_self_replacing, picture.c_str(), "LOGO"), 0);
    EXPECT_EQ(QB_PrinterClose(g_self_replacing), 0);
}

}  // namespace
