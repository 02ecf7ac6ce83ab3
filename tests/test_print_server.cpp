// SPDX-License-Identifier: MIT
// Print servers as routes: a cupsd of the test's own with raw queues whose
// device is the virtual printer on TCP. Every label goes through as one job,
// arrives as the exact bytes, and renders.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <iterator>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "connection/device.h"
#include "connection/job_outcome.h"
#include "print_server.h"
#include "quillbar.h"
#include "support.h"

namespace {

using qbtest::ListeningPrinter;
using qbtest::PrintServer;

// One label, its text naming who printed it: exactly these bytes.
std::string print_label(const std::string &id) {
    if (QB_SetClear() != 0 || QB_PrintCharacter(1, 1, 0, 2, 1, 1, 0, id.c_str()) != 0 || QB_Print(1) != 0) {
        std::fprintf(stderr, "label %s: %s\n", id.c_str(), QB_GetLastErrorMessage());
        return "";
    }
    return "N\nA8,8,0,2,1,1,N,\"" + id + "\"\nP1\n";
}

class PrintServerRoute : public testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/sbin/cupsd", X_OK) != 0 || access("/usr/lib/cups/backend/socket", X_OK) != 0)
            GTEST_SKIP() << "cupsd and its socket backend are not installed (Debian: cups)";
        printer_.reset(new ListeningPrinter(QUILLBAR_PREVIEW_TOOL, printer_dir_.path()));
        ASSERT_GT(printer_->port(), 0);
        server_.reset(new PrintServer(server_dir_.path()));
        ASSERT_TRUE(server_->ok()) << qbtest::read_file(server_dir_.path() + "/log/error_log");
        ASSERT_TRUE(server_->add_raw_queue("labels", "socket://127.0.0.1:" + std::to_string(printer_->port())));
        // libcups finds "the local server" here.
        setenv("CUPS_SERVER", server_->address().c_str(), 1);
    }
    void TearDown() override {
        if (HasFailure() && server_)
            std::fprintf(stderr, "cupsd's error log:\n%s\n", qbtest::read_file(server_dir_.path() + "/log/error_log").c_str());
        QB_PortClose();
        QB_PortSetDevice(1, nullptr);
        server_.reset();
        printer_.reset();
    }
    qbtest::TempDir printer_dir_, server_dir_;
    std::unique_ptr<ListeningPrinter> printer_;
    std::unique_ptr<PrintServer> server_;
};

TEST_F(PrintServerRoute, EveryLabelIsOneJobArrivingByteForByteThroughEitherRoute) {
    const std::string routes[] = {"cups:labels", "ipp://" + server_->address() + "/printers/labels"};
    std::string expected;
    long jobs = 0;
    for (const std::string &route : routes) {
        SCOPED_TRACE(route);
        qbtest::open_port_on(1, route);
        for (int i = 0; i < 3; ++i) {
            const std::string sent = print_label(route.substr(0, 4) + "-" + std::to_string(i));
            ASSERT_FALSE(sent.empty()) << QB_GetLastErrorMessage();
            expected += sent;
            ++jobs;
        }
        // Bytes sent as they are complete a job when they end with P.
        const std::string raw = "N\nA8,8,0,2,1,1,N,\"" + route.substr(0, 4) + "-bytes\"\nP1\r\n";
        ASSERT_EQ(QB_SendBytes(raw.data(), raw.size()), 0) << QB_GetLastErrorMessage();
        expected += raw;
        ASSERT_TRUE(printer_->wait_for_jobs(++jobs, 30)) << "the bytes wait for the close";
        // A print server carries no answer from the printer: unknown at once.
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(QB_GetPrinterStatus(5000), QB_STATUS_UNKNOWN);
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(100));
        // What is pending at close goes as a job of its own.
        ASSERT_EQ(QB_SendCommand("OD"), 0);
        expected += "OD\n";
        ++jobs;
        ASSERT_EQ(QB_PortClose(), 0) << QB_GetLastErrorMessage();
    }
    ASSERT_TRUE(printer_->wait_for_jobs(jobs, 60)) << printer_->jobs() << " of " << jobs;
    EXPECT_EQ(printer_->raw(), expected);
    EXPECT_GT(qbtest::read_file(printer_dir_.path() + "/label-00008.png").size(), 50u);
}

TEST_F(PrintServerRoute, QueuesThatCannotTakeJobsFailTheOpenWithTheServersReason) {
    ASSERT_TRUE(server_->add_raw_queue("stopped", "socket://127.0.0.1:9"));
    ASSERT_TRUE(server_->command("cupsdisable", "stopped"));
    ASSERT_TRUE(server_->add_raw_queue("refusing", "socket://127.0.0.1:9"));
    ASSERT_TRUE(server_->command("cupsreject", "refusing"));
    const struct {
        std::string route;
        const char *says;
    } rows[] = {
        {"cups:missing", "no printer or queue at cups:missing: "},
        {"ipp://" + server_->address() + "/printers/missing", "no printer or queue at ipp://"},
        {"cups:stopped", "cups:stopped is stopped"},
        {"cups:refusing", "cups:refusing is not accepting jobs"},
        {"ipp://127.0.0.1:1/printers/labels", "cannot reach the print server"},
        {"ipp:///printers/labels", "is not ipp://HOST[:PORT]/RESOURCE"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.route);
        ASSERT_EQ(QB_PortSetDevice(1, row.route.c_str()), 0);
        EXPECT_EQ(QB_PortOpen(1, 9600), -1);
        EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PORT_OPEN);
        EXPECT_NE(std::string(QB_GetLastErrorMessage()).find(row.says), std::string::npos) << QB_GetLastErrorMessage();
    }
}

// The server goes away between two labels: the second fails with 1002 at
// the call that completed it; the first, spooled, prints once when the
// server is back.
TEST_F(PrintServerRoute, AServerThatGoesAwayFailsTheLabelAndLosesNothingItTook) {
    qbtest::open_port_on(1, "cups:labels");
    ASSERT_TRUE(server_->command("cupsdisable", "labels"));  // the first job waits in the spool
    const std::string first = print_label("FIRST");
    ASSERT_FALSE(first.empty()) << QB_GetLastErrorMessage();
    server_->stop();
    EXPECT_TRUE(print_label("SECOND").empty());
    EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PORT_WRITE);
    EXPECT_NE(std::string(QB_GetLastErrorMessage()).find("the print server does not answer"), std::string::npos)
        << QB_GetLastErrorMessage();
    QB_PortClose();
    ASSERT_TRUE(server_->start());
    ASSERT_TRUE(server_->command("cupsenable", "labels"));
    ASSERT_TRUE(printer_->wait_for_jobs(1, 60));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(printer_->raw(), first);
}

// Four threads of this process and two other processes print 200 labels
// each through one queue: every label arrives once and whole, each client's
// in its own order.
TEST_F(PrintServerRoute, ThreadsAndProcessesShareOneQueue) {
    constexpr int kLabels = 200;
    const auto client = [](const std::string &who, std::mutex *lock) {
        for (int n = 0; n < kLabels; ++n) {
            std::unique_lock<std::mutex> hold(*lock);  // one label is a run of calls
            if (print_label(who + "-" + std::to_string(n)).empty()) return false;
        }
        return true;
    };
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            std::mutex own;
            if (QB_PortSetDevice(1, "cups:labels") != 0 || QB_PortOpen(1, 9600) != 0) _exit(1);
            const bool ok = client("P" + std::to_string(p), &own);
            _exit(ok && QB_PortClose() == 0 ? 0 : 2);
        }
        children.push_back(pid);
    }
    qbtest::open_port_on(1, "cups:labels");
    std::mutex lock;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] { failures += !client("T" + std::to_string(t), &lock); });
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0) << QB_GetLastErrorMessage();
    EXPECT_EQ(QB_PortClose(), 0);
    for (pid_t pid : children) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_TRUE(printer_->wait_for_jobs(6 * kLabels, 240)) << printer_->jobs() << " jobs";
    // Each label whole, once, and each client's in order.
    const std::string raw = printer_->raw();
    const std::regex label("N\nA8,8,0,2,1,1,N,\"([TP]\\d)-(\\d+)\"\nP1\n");
    std::map<std::string, int> next;
    long whole = 0;
    for (auto it = std::sregex_iterator(raw.begin(), raw.end(), label); it != std::sregex_iterator(); ++it) {
        const std::string who = (*it)[1];
        EXPECT_EQ(std::stoi((*it)[2]), next[who]) << who;
        next[who] = std::stoi((*it)[2]) + 1;
        ++whole;
    }
    EXPECT_EQ(whole, 6 * kLabels);
    EXPECT_EQ(raw.size(), static_cast<std::size_t>(whole) * std::string("N\nA8,8,0,2,1,1,N,\"T0-000\"\nP1\n").size() -
                              static_cast<std::size_t>(6 * (10 * 2 + 90 * 1)));
}

}  // namespace

// ---- results that match what printed ------------------------------------------------------

namespace {

using namespace std::chrono_literals;

class PrintServerHazards : public PrintServerRoute {
protected:
    void TearDown() override {
        quillbar::set_no_progress_timeout(15s);
        if (server_) server_->signal(SIGCONT);
        PrintServerRoute::TearDown();
    }
};

// A label larger than a job may be is dropped whole, and its P line fails
// too: it never prints the label before it again.
TEST_F(PrintServerHazards, ADroppedLabelIsNeverFollowedByAJobThatPrintsAnother) {
    qbtest::open_port_on(1, "cups:labels");
    const std::string first = print_label("FIRST");
    ASSERT_FALSE(first.empty());
    const std::string huge((64u << 20) + 1, 'X');
    EXPECT_EQ(QB_SetClear(), 0);
    EXPECT_EQ(QB_SendBytes(huge.data(), huge.size()), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PORT_WRITE);
    EXPECT_EQ(QB_SendCommand("A1,1,0,1,1,1,N,\"REST\""), -1);
    EXPECT_EQ(QB_Print(1), -1);
    EXPECT_NE(std::string(QB_GetLastErrorMessage()).find("was dropped"), std::string::npos) << QB_GetLastErrorMessage();
    const std::string after = print_label("AFTER");
    ASSERT_FALSE(after.empty()) << QB_GetLastErrorMessage();
    ASSERT_EQ(QB_PortClose(), 0);
    ASSERT_TRUE(printer_->wait_for_jobs(2, 60));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(printer_->raw(), first + after);
}

// A server that stalls after taking a label: the call says the label may
// still print (not that it did not arrive), and once the server goes on it
// prints once.
TEST_F(PrintServerHazards, AStalledServerIsReportedAsUnconfirmedAndTheLabelPrintsOnce) {
    quillbar::set_no_progress_timeout(2s);
    qbtest::open_port_on(1, "cups:labels");
    server_->signal(SIGSTOP);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(print_label("STALLED").empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PORT_WRITE);
    EXPECT_NE(std::string(QB_GetLastErrorMessage()).find("took the label"), std::string::npos) << QB_GetLastErrorMessage();
    EXPECT_NE(std::string(QB_GetLastErrorMessage()).find("did not confirm"), std::string::npos);
    server_->signal(SIGCONT);
    QB_PortClose();
    ASSERT_TRUE(printer_->wait_for_jobs(1, 60));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(printer_->raw(), "N\nA8,8,0,2,1,1,N,\"STALLED\"\nP1\n");
}

// Closing from another thread ends a job waiting on a silent server, as it
// ends a stuck write, instead of waiting it out.
TEST_F(PrintServerHazards, ClosingFromAnotherThreadEndsAPendingJob) {
    qbtest::open_port_on(1, "cups:labels");
    server_->signal(SIGSTOP);
    std::atomic<bool> returned{false};
    std::thread printing([&] {
        print_label("PENDING");
        returned = true;
    });
    std::this_thread::sleep_for(500ms);
    const auto start = std::chrono::steady_clock::now();
    QB_PortClose();
    printing.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(returned.load());
    server_->signal(SIGCONT);
}

// A server that wants a password, by every path and from any thread: the
// call fails at once and says so, and nothing is asked on the terminal.
// Each row runs in a child whose controlling terminal is a pseudo-terminal
// the test reads, as a program started from a terminal has one.
TEST_F(PrintServerHazards, AServerThatWantsAPasswordFailsWithoutAskingOnATerminal) {
    const std::string device = "socket://127.0.0.1:" + std::to_string(printer_->port());
    ASSERT_TRUE(server_->add_raw_queue("secure", device));
    ASSERT_TRUE(server_->add_raw_queue("pay", device, "-o printer-op-policy=jobs-need-password"));
    qbtest::TempDir strict_dir;
    PrintServer strict(strict_dir.path(), true);
    ASSERT_TRUE(strict.ok());
    const std::string everyone = strict.address();
    // "opened"/"failed": what the row's call gives; the reason must say so.
    const auto open_fails = [](const char *route) {
        QB_Printer *p = QB_PrinterOpen(route, 0);
        if (p) QB_PrinterClose(p);
        return !p && QB_GetLastErrorCode() == QB_ERR_PORT_OPEN;
    };
    const struct Row {
        const char *what;
        const std::string *server;  // CUPS_SERVER for the row; null: the usual one
        std::function<bool()> call;
    } rows[] = {
        {"the first thread to open a route", nullptr, [&] { return open_fails("cups:secure"); }},
        {"a second thread", nullptr,
         [&] {
             QB_Printer *first = QB_PrinterOpen("cups:labels", 0);
             bool failed = false;
             std::thread second([&] { failed = open_fails("cups:secure"); });
             second.join();
             QB_PrinterClose(first);
             return first && failed;
         }},
        {"the list of printers", &everyone,
         [] { return QB_PrinterList(nullptr, 0) == -1 && QB_GetLastErrorCode() == QB_ERR_PORT_OPEN; }},
        {"the default printer", &everyone, [&] { return open_fails("printer:"); }},
        {"a job the queue refuses", nullptr,
         [] {
             QB_Printer *p = QB_PrinterOpen("cups:pay", 0);
             const bool refused = p && QB_PrinterPrint(p, 1) == -1 &&
                                  QB_PrinterGetLastErrorCode(p) == QB_ERR_PORT_WRITE &&
                                  std::string(QB_PrinterGetLastErrorMessage(p)).find("asks for a password") != std::string::npos;
             if (p) QB_PrinterClose(p);
             return refused;
         }},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << row.what);
        qbtest::Pty terminal;
        std::fflush(nullptr);
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = fork();
        if (child == 0) {
            alarm(15);
            setsid();
            const int tty = open(terminal.slave().c_str(), O_RDWR);  // becomes the controlling terminal
            if (tty < 0) _exit(3);
            if (row.server) setenv("CUPS_SERVER", row.server->c_str(), 1);
            if (!row.call()) {
                std::fprintf(stderr, "%s\n", QB_GetLastErrorMessage());
                _exit(1);
            }
            const std::string why = QB_GetLastErrorMessage();
            _exit(i == std::size(rows) - 1 || why.find("asks for a password") != std::string::npos ? 0 : 2);
        }
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << (WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : std::string("killed"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        EXPECT_EQ(terminal.drain(std::chrono::milliseconds(50)).find("assword"), std::string::npos);
    }
}

// A child after fork() prints over a connection of its own: both labels
// arrive, whole.
TEST_F(PrintServerHazards, AChildAfterForkPrintsThroughAConnectionOfItsOwn) {
    qbtest::open_port_on(1, "cups:labels");
    const std::string parent_before = print_label("PARENT-1");
    ASSERT_FALSE(parent_before.empty());
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) _exit(print_label("CHILD").empty() ? 1 : 0);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string parent_after = print_label("PARENT-2");
    EXPECT_FALSE(parent_after.empty()) << QB_GetLastErrorMessage();
    QB_PortClose();
    ASSERT_TRUE(printer_->wait_for_jobs(3, 60));
    std::this_thread::sleep_for(500ms);
    const std::string raw = printer_->raw();
    for (const char *id : {"PARENT-1", "CHILD", "PARENT-2"})
        EXPECT_NE(raw.find(std::string("\"") + id + "\"\nP1\n"), std::string::npos) << id;
}

// What the messages say: a refused connection is refused, a silent server
// silent (not "Success", not "Host is down").
TEST_F(PrintServerHazards, ErrorTextsSayWhatHappened) {
    quillbar::set_no_progress_timeout(1s);
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(silent, 4), 0);
    getsockname(silent, reinterpret_cast<sockaddr *>(&a), &len);
    const std::string silent_port = std::to_string(ntohs(a.sin_port));
    const int gone = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_port = 0;
    bind(gone, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(gone, reinterpret_cast<sockaddr *>(&a), &len);
    const std::string refused_port = std::to_string(ntohs(a.sin_port));
    close(gone);  // nothing listens there now
    const struct {
        std::string route;
        const char *says;
    } rows[] = {
        {"ipp://127.0.0.1:" + refused_port + "/printers/x", "Connection refused"},
        {"ipp://127.0.0.1:" + silent_port + "/printers/x", "does not answer (no answer in 1 s)"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.route);
        EXPECT_EQ(QB_PrinterOpen(row.route.c_str(), 0), nullptr);
        const std::string message = QB_GetLastErrorMessage();
        EXPECT_NE(message.find(row.says), std::string::npos) << message;
        EXPECT_EQ(message.find("Success"), std::string::npos) << message;
        EXPECT_EQ(message.find("Host is down"), std::string::npos) << message;
    }
    // The list and the default printer, from a server that takes the
    // connection and never answers: within the no-progress time, with why.
    setenv("CUPS_SERVER", ("127.0.0.1:" + silent_port).c_str(), 1);
    const std::function<bool()> asks[] = {
        [] { return QB_PrinterList(nullptr, 0) == -1; },
        [] { return QB_PrinterOpen("printer:", 0) == nullptr; },
    };
    for (std::size_t i = 0; i < std::size(asks); ++i) {
        SCOPED_TRACE(testing::Message() << (i == 0 ? "the list" : "the default printer"));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(asks[i]());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
        EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PORT_OPEN);
        const std::string message = QB_GetLastErrorMessage();
        EXPECT_NE(message.find("does not answer (no answer in 1 s)"), std::string::npos) << message;
    }
    close(silent);
}

// ---- installed printers ---------------------------------------------------------------------

// The printers a program can name are the server's queues, as routes; an
// installed printer by name, and the default one, print through them.
TEST_F(PrintServerRoute, InstalledPrintersAreListedAndPrintByName) {
    ASSERT_TRUE(server_->add_raw_queue("second", "socket://127.0.0.1:" + std::to_string(printer_->port())));
    const int needed = QB_PrinterList(nullptr, 0);
    ASSERT_GT(needed, 0);
    std::string names(static_cast<std::size_t>(needed), '\0');
    EXPECT_EQ(QB_PrinterList(names.data(), names.size()), needed);
    EXPECT_NE(names.find(std::string("cups:labels") + '\0'), std::string::npos) << names;
    EXPECT_NE(names.find(std::string("cups:second") + '\0'), std::string::npos) << names;
    // Too small a buffer: whole names only, the size all need all the same.
    std::string part(12, 'x');
    EXPECT_EQ(QB_PrinterList(part.data(), part.size()), needed);
    EXPECT_EQ(part, std::string("cups:labels") + '\0');  // the first, whole; not the second's start
    EXPECT_EQ(QB_PrinterList(nullptr, 5), -1);

    ASSERT_TRUE(server_->command("lpadmin", "-d second"));
    std::string expected;
    for (const char *route : {"printer:labels", "printer:"}) {
        SCOPED_TRACE(route);
        QB_Printer *p = QB_PrinterOpen(route, 0);
        ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
        const std::string id = std::string("BY-NAME-") + (route[8] ? "labels" : "default");
        ASSERT_EQ(QB_PrinterSendCommand(p, ("A1,1,0,1,1,1,N,\"" + id + "\"").c_str()), 0);
        ASSERT_EQ(QB_PrinterPrint(p, 1), 0) << QB_PrinterGetLastErrorMessage(p);
        expected += "A1,1,0,1,1,1,N,\"" + id + "\"\nP1\n";
        EXPECT_EQ(QB_PrinterClose(p), 0);
    }
    ASSERT_TRUE(printer_->wait_for_jobs(2, 60));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(printer_->raw(), expected);
    EXPECT_EQ(QB_PrinterOpen("printer:missing", 0), nullptr);
    EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PORT_OPEN);
}

}  // namespace

// What a job's facts make of it, decided in one place: the order of the
// questions matters, so each boundary is a row.
TEST(PrintServerJobs, TheOutcomeFollowsFromWhatTheDeviceSaw) {
    using quillbar::JobFacts;
    using quillbar::JobOutcome;
    const auto facts = [](bool whole, bool answered, bool ok, bool password, bool interrupted, bool broke) {
        JobFacts f;
        f.sent_whole = whole;
        f.answered = answered;
        f.answer_ok = ok;
        f.wants_password = password;
        f.interrupted = interrupted;
        f.line_failed = broke;
        return f;
    };
    const struct {
        const char *what;
        JobFacts facts;
        JobOutcome outcome;
        const char *says;
    } rows[] = {
        {"taken", facts(true, true, true, false, false, false), JobOutcome::printed, ""},
        {"refused with a reason", facts(true, true, false, false, false, false), JobOutcome::refused, "refused the job"},
        {"a password, after every byte went", facts(true, false, false, true, false, false), JobOutcome::needs_password,
         "asks for a password"},
        {"a password, before the data", facts(false, false, false, true, false, true), JobOutcome::needs_password,
         "asks for a password"},
        {"a password in the answer", facts(true, true, false, true, false, false), JobOutcome::needs_password,
         "asks for a password"},
        {"silent after every byte", facts(true, false, false, false, false, false), JobOutcome::unconfirmed,
         "may still print"},
        {"the line broke after every byte", facts(true, false, false, false, false, true), JobOutcome::unreachable,
         "did not reach"},
        {"silent before every byte went", facts(false, false, false, false, false, false), JobOutcome::unreachable,
         "did not reach"},
        {"closed after every byte", facts(true, false, false, false, true, true), JobOutcome::interrupted,
         "may have taken it"},
        {"closed before every byte", facts(false, false, false, false, true, true), JobOutcome::interrupted,
         "ended by closing the port"},
        {"answered, then closed", facts(true, true, true, false, true, false), JobOutcome::printed, ""},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].what);
        const JobOutcome outcome = quillbar::classify(rows[i].facts);
        EXPECT_EQ(outcome, rows[i].outcome);
        const std::string words = quillbar::describe(outcome, rows[i].facts, "T", "cups:q", "{route}");
        EXPECT_NE(words.find(rows[i].says), std::string::npos) << words;
        // What a server says is never read as a field of the wording.
        if (outcome == JobOutcome::refused) {
            EXPECT_NE(words.find(": {route}"), std::string::npos) << words;
        }
    }
}

// libcups is loaded when a print-server route first opens: without it, such
// a route fails with a reason, and everything else prints as before.
TEST(PrintServerLibrary, WithoutLibcupsOnlyPrintServerRoutesFail) {
    quillbar::set_print_server_library("libcups.so.999");
    for (const char *route : {"cups:labels", "ipp://127.0.0.1:1/ipp/print", "printer:labels"}) {
        QB_Printer *p = QB_PrinterOpen(route, 0);
        EXPECT_EQ(p, nullptr) << route;
        EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PORT_OPEN) << route;
        const std::string why = QB_GetLastErrorMessage();
        EXPECT_NE(why.find("libcups"), std::string::npos) << why;
        EXPECT_NE(why.find(route), std::string::npos) << why;
        if (p) QB_PrinterClose(p);
    }
    char list[16] = "x";
    EXPECT_EQ(QB_PrinterList(list, sizeof list), 0);
    qbtest::TempDir dir;
    const std::string file = dir.file("port");
    QB_Printer *p = QB_PrinterOpen(file.c_str(), 0);
    ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
    EXPECT_EQ(QB_PrinterPrint(p, 1), 0);
    QB_PrinterClose(p);
    EXPECT_EQ(qbtest::read_file(file), "P1\n");
    quillbar::set_print_server_library("");
}
