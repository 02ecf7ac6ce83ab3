// SPDX-License-Identifier: MIT
// The virtual printer as a network printer under clients that misbehave:
// none of them may hang it, hold it, or cost another client its label.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "print_server.h"
#include "support.h"

namespace {

using qbtest::ListeningPrinter;

const char kLabel[] = "N\nA10,10,0,3,1,1,N,\"JOB\"\nP1\n";

// A connection, or -1 when the printer does not take it within 5 s (a
// connect past a full listen queue would otherwise wait for minutes).
int connect_to(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string &text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string many(const std::string &text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// One job: connect, send, close.
bool job(int port, const std::string &text) {
    const int fd = connect_to(port);
    const bool ok = fd >= 0 && send_all(fd, text);
    if (fd >= 0) close(fd);
    return ok;
}

TEST(ListeningPrinter, ABurstOfClientsIsPrintedWhole) {
    qbtest::TempDir dir;
    ListeningPrinter printer(QUILLBAR_PREVIEW_TOOL, dir.path());
    ASSERT_GT(printer.port(), 0);
    // 200 connections at once, before any sends: none refused, none lost.
    std::vector<int> fds;
    for (int i = 0; i < 200; ++i) {
        fds.push_back(connect_to(printer.port()));
        ASSERT_GE(fds.back(), 0) << "connection " << i + 1 << " was not taken";
    }
    for (int fd : fds) {
        EXPECT_TRUE(send_all(fd, kLabel));
        close(fd);
    }
    EXPECT_TRUE(printer.wait_for_lines("label ", 200, 60)) << printer.lines("label ");
    EXPECT_EQ(printer.jobs(), 200);
}

// Each row: a first client that misbehaves and stays connected, then a
// second client's label, which must print within a few seconds.
TEST(ListeningPrinter, NoClientHoldsThePrinterOrCostsAnotherItsLabel) {
    struct Case {
        const char *what;
        std::string first;  // what the first client sends before it falls silent
        bool closes;        // it goes away (rather than staying connected)
    } cases[] = {
        {"a client that sends nothing", "", false},
        {"a client that asks and never reads", many("UQ\n", 20000), false},
        {"a client gone inside FS", "FS\"HALF\"\nA10,10,0,3,1,1,N,\"IN FORM\"\n", true},
        {"a client gone inside a GW block", "N\nGW0,0,100,100,\x01\x02", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qbtest::TempDir dir;
        ListeningPrinter printer(QUILLBAR_PREVIEW_TOOL, dir.path(), {"--idle-timeout", "1"});
        ASSERT_GT(printer.port(), 0);
        const int first = connect_to(printer.port());
        ASSERT_GE(first, 0);
        if (!c.first.empty()) {
            // Sent from a thread: the printer's replies may fill this
            // client's buffers, as they would a client that never reads.
            std::thread sender([&] { send_all(first, c.first); });
            sender.detach();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (c.closes) shutdown(first, SHUT_WR);
        ASSERT_TRUE(job(printer.port(), kLabel));
        EXPECT_TRUE(printer.wait_for_lines("label ", 1, 10));
        printer.signal(SIGTERM);
        close(first);
    }
}

// SIGTERM while clients are still connected: everything they sent is
// printed, and the printer stops at once.
TEST(ListeningPrinter, SigtermPrintsWhatCameAndStops) {
    qbtest::TempDir dir;
    ListeningPrinter printer(QUILLBAR_PREVIEW_TOOL, dir.path());
    ASSERT_GT(printer.port(), 0);
    std::vector<int> open_clients;
    for (int i = 0; i < 20; ++i) {
        const int fd = connect_to(printer.port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_all(fd, kLabel));
        open_clients.push_back(fd);  // left open: the jobs never end by themselves
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto asked = std::chrono::steady_clock::now();
    printer.signal(SIGTERM);
    EXPECT_TRUE(printer.wait_for_lines("label ", 20, 10)) << printer.lines("label ");
    EXPECT_TRUE(printer.wait_for_jobs(20, 10));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    for (int fd : open_clients) close(fd);
}

// The label limit is a job's, not the server's life: with one label a job,
// every job's label prints.
TEST(ListeningPrinter, TheLabelLimitIsEachJobs) {
    qbtest::TempDir dir;
    ListeningPrinter printer(QUILLBAR_PREVIEW_TOOL, dir.path(), {"--max-labels", "1"});
    ASSERT_GT(printer.port(), 0);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(job(printer.port(), kLabel));
    EXPECT_TRUE(printer.wait_for_lines("label ", 3, 10)) << printer.lines("label ");
}

// --labels counts the labels printed, whether rendered or not: a job of
// three labels with one rendered ends a printer asked for three.
TEST(ListeningPrinter, LabelsPastTheLimitStillCountTowardsTheEnd) {
    qbtest::TempDir dir;
    ListeningPrinter printer(QUILLBAR_PREVIEW_TOOL, dir.path(), {"--max-labels", "1", "--labels", "3"});
    ASSERT_GT(printer.port(), 0);
    ASSERT_TRUE(job(printer.port(), std::string(kLabel) + kLabel + kLabel));
    EXPECT_TRUE(printer.wait_for_jobs(1, 10));
    for (int i = 0; i < 100 && !printer.exited(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(printer.exited());
}

}  // namespace
