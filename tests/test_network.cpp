// SPDX-License-Identifier: MIT
// Network printers: raw EPL2 on a TCP port, against listeners on the
// loopback address that the tests start themselves.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "connection/device.h"
#include "quillbar.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;

// A listening socket on an ephemeral loopback port.
class Listener {
public:
    explicit Listener(int family = AF_INET, int backlog = 4) {
        fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage addr{};
        socklen_t len;
        if (family == AF_INET6) {
            auto *a6 = reinterpret_cast<sockaddr_in6 *>(&addr);
            a6->sin6_family = AF_INET6;
            a6->sin6_addr = in6addr_loopback;
            len = sizeof *a6;
        } else {
            auto *a4 = reinterpret_cast<sockaddr_in *>(&addr);
            a4->sin_family = AF_INET;
            a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a4;
        }
        ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) == 0 && listen(fd_, backlog) == 0 &&
              getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) == 0;
        port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port
                                         : reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
    }
    ~Listener() {
        for (int c : accepted_) close(c);
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return ok_; }
    int port() const { return port_; }
    int accept_one(std::chrono::milliseconds wait = 5s) {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(wait.count())) != 1) return -1;
        const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) accepted_.push_back(c);
        return c;
    }
    static std::string read_all(int fd, std::chrono::milliseconds quiet = 100ms) {
        std::string out;
        char buf[65536];
        pollfd pfd{fd, POLLIN, 0};
        while (poll(&pfd, 1, static_cast<int>(quiet.count())) == 1) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

private:
    int fd_ = -1;
    int port_ = 0;
    bool ok_ = false;
    std::vector<int> accepted_;
};

class Network : public testing::Test {
protected:
    void TearDown() override {
        QB_PortClose();
        for (int p = 1; p <= 4; ++p) QB_PortSetDevice(p, nullptr);
        quillbar::set_no_progress_timeout(15s);
        quillbar::set_connect_timeout(5s);
    }
};

TEST_F(Network, EveryHostFormAndSelectorPrintsByteForByte) {
    const struct {
        int family;
        const char *host;
        int port;
    } rows[] = {{AF_INET, "127.0.0.1", 1}, {AF_INET, "localhost", 2}, {AF_INET, "127.0.0.1", 3}, {AF_INET6, "[::1]", 4}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.host);
        Listener printer(row.family);
        if (!printer.ok()) {
            ADD_FAILURE() << "no loopback listener for " << row.host;
            continue;
        }
        const std::string url = std::string("tcp://") + row.host + ":" + std::to_string(printer.port());
        ASSERT_EQ(QB_PortSetDevice(row.port, url.c_str()), 0);
        ASSERT_EQ(QB_PortOpen(row.port, 19200), 0) << QB_GetLastErrorCode();  // no serial settings on a socket
        const int peer = printer.accept_one();
        ASSERT_GE(peer, 0);
        ASSERT_EQ(QB_SetClear(), 0);
        ASSERT_EQ(QB_PrintChineseStr(1, 1, 0, 0, 1, 0, "\xD6\xD0"), 0);
        ASSERT_EQ(QB_Print(1), 0);
        ASSERT_EQ(QB_PortClose(), 0);
        const std::string got = Listener::read_all(peer);
        EXPECT_EQ(got.substr(0, 13), "N\nGW8,8,4,24,");
        EXPECT_EQ(got.size(), 13 + 96 + 1 + 3u);
        EXPECT_EQ(got.substr(got.size() - 3), "P1\n");
    }
}

TEST_F(Network, PrinterThatDoesNotAnswerOrRefusesFailsTheOpen) {
    quillbar::set_connect_timeout(300ms);
    // A listener that never accepts, its queue already full: the connection
    // is never answered.
    Listener silent(AF_INET, 0);
    ASSERT_TRUE(silent.ok());
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(silent.port()));
        connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fillers.push_back(c);
    }
    int closed_port;
    {
        Listener gone;
        closed_port = gone.port();
    }
    const int fds = qbtest::open_fd_count();
    const struct {
        const char *what;
        std::string url;
    } rows[] = {
        {"never answers", "tcp://127.0.0.1:" + std::to_string(silent.port())},
        {"refuses", "tcp://127.0.0.1:" + std::to_string(closed_port)},
        {"no port", "tcp://127.0.0.1"},
        {"bad port", "tcp://127.0.0.1:http"},
        {"port past 65535 (it would wrap to 4464)", "tcp://127.0.0.1:70000"},
        {"port 0", "tcp://127.0.0.1:0"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(QB_PortSetDevice(1, row.url.c_str()), 0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(QB_PortOpen(1, 9600), -1);
        EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_OPEN);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
        EXPECT_EQ(QB_Print(1), -1);
    }
    EXPECT_EQ(qbtest::open_fd_count(), fds);
    for (int c : fillers) close(c);
}

TEST_F(Network, PrinterThatStopsReadingFailsTheWriteInsteadOfHanging) {
    quillbar::set_no_progress_timeout(300ms);
    Listener printer;
    ASSERT_TRUE(printer.ok());
    const std::string url = "tcp://127.0.0.1:" + std::to_string(printer.port());
    qbtest::open_port_on(1, url);
    ASSERT_GE(printer.accept_one(), 0);  // accepts, then never reads
    const std::string text(16 << 20, 'x');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, text.c_str()), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    // What the printer has not taken is the system's to send after the
    // close: not confirmed (it may still print), never "not delivered", and
    // said within a second, the printer's side being known dead.
    const auto closing = std::chrono::steady_clock::now();
    EXPECT_EQ(QB_PortClose(), 0) << QB_GetLastErrorMessage();
    EXPECT_EQ(QB_GetLastNoticeCode(), QB_NOTICE_NOT_CONFIRMED);
    EXPECT_NE(std::string(QB_GetLastNotice()).find("had not confirmed"), std::string::npos) << QB_GetLastNotice();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 1500ms);
}

// A handle on the listener's printer, and the printer's end of it (-1 and
// NULL when either is missing).
QB_Printer *open_handle_on(Listener &printer, int &peer) {
    if (!printer.ok()) return nullptr;
    QB_Printer *p = QB_PrinterOpen(("tcp://127.0.0.1:" + std::to_string(printer.port())).c_str(), 0);
    peer = p ? printer.accept_one() : -1;
    return p;
}

// Reads everything that comes on fd until the sender ends (or stop is set),
// after pausing.
std::size_t read_until_end(int fd, std::chrono::milliseconds pause, std::chrono::milliseconds per_read,
                           const std::atomic<bool> &stop) {
    std::this_thread::sleep_for(pause);
    std::size_t total = 0;
    char buf[4096];
    for (auto quiet = 0ms; !stop && quiet < 10s;) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 50) != 1) {
            quiet += 50ms;
            continue;
        }
        quiet = 0ms;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
        if (per_read > 0ms) std::this_thread::sleep_for(per_read);
    }
    return total;
}

// What close says and how long it takes, against printers that pause, keep
// talking, or read slowly while another thread closes to cancel a write.
// Each printer's receive buffer is small, so that bytes wait unacknowledged
// in this process's system as they would on a real network.
TEST_F(Network, CloseSaysWhatItKnowsAndIsPromptWhenCancelled) {
    struct Row {
        const char *what;
        std::chrono::milliseconds no_progress;
        std::chrono::milliseconds pause;     // before the printer reads at all (-1: never)
        std::chrono::milliseconds per_read;  // after each 4 KB it reads
        bool talks;                          // answers all the while
        std::size_t bytes;                   // written before close
        bool from_another_thread;            // close while a write is under way
        int notice;
        std::chrono::milliseconds at_most;   // for the close
    } rows[] = {
        {"pauses past the no-progress time, then reads everything", 400ms, 1500ms, 0ms, false, 64 << 10, false,
         QB_NOTICE_NOT_CONFIRMED, 1500ms},
        {"reads at once", 400ms, 0ms, 0ms, false, 64 << 10, false, 0, 1500ms},
        {"keeps talking after reading everything", 5000ms, 0ms, 0ms, true, 64 << 10, false, 0, 1500ms},
        {"never reads; closed from another thread", 5000ms, -1ms, 0ms, false, 16 << 20, true, QB_NOTICE_NOT_CONFIRMED,
         2000ms},
        {"reads slowly; closed from another thread", 2000ms, 0ms, 20ms, false, 4 << 20, true, QB_NOTICE_NOT_CONFIRMED,
         2800ms},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << row.what);
        quillbar::set_no_progress_timeout(row.no_progress);
        Listener printer;
        int peer = -1;
        QB_Printer *p = open_handle_on(printer, peer);
        ASSERT_TRUE(p && peer >= 0) << QB_GetLastErrorMessage();
        const int small = 4096;
        setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        std::atomic<bool> closed{false}, stop{false};
        std::size_t received = 0;
        std::thread reader([&] {
            if (row.pause < 0ms) {
                while (!closed) std::this_thread::sleep_for(10ms);
                return;
            }
            if (!row.talks) {
                received = read_until_end(peer, row.pause, row.per_read, stop);
                return;
            }
            char buf[65536];
            while (!closed) {  // reads what comes and says "00" every 10 ms
                const ssize_t n = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
                if (n > 0) received += static_cast<std::size_t>(n);
                (void)send(peer, "00\r\n", 4, MSG_NOSIGNAL | MSG_DONTWAIT);
                std::this_thread::sleep_for(10ms);
            }
            received += Listener::read_all(peer).size();
        });
        const std::string data(row.bytes, 'x');
        std::thread writer;
        if (row.from_another_thread) {
            writer = std::thread([&] { EXPECT_EQ(QB_PrinterSendBytes(p, data.data(), data.size()), -1); });
            std::this_thread::sleep_for(300ms);
        } else {
            ASSERT_EQ(QB_PrinterSendBytes(p, data.data(), data.size()), 0) << QB_PrinterGetLastErrorMessage(p);
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(QB_PrinterClose(p), 0) << QB_GetLastErrorMessage();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, row.at_most);
        EXPECT_EQ(QB_GetLastNoticeCode(), row.notice) << QB_GetLastNotice();
        EXPECT_EQ(std::string(QB_GetLastNotice()).empty(), row.notice == 0) << QB_GetLastNotice();
        closed = true;
        stop = row.from_another_thread;  // what the cancelled write left is not waited for
        if (writer.joinable()) writer.join();
        reader.join();
        // Nothing that was not confirmed is lost: the system sent it after the close.
        if (!row.from_another_thread && row.pause >= 0ms) {
            EXPECT_EQ(received, row.bytes);
        }
    }
}

// A handle used in a child after fork() never ends the parent's connection,
// nor the parent's the child's: each close lets only its own copy go.
TEST_F(Network, AForkedCopyClosesOnlyItsOwn) {
    for (const bool child_closes : {true, false}) {
        SCOPED_TRACE(child_closes ? "the child closes, the parent prints" : "the parent closes, the child prints");
        Listener printer;
        int peer = -1;
        QB_Printer *p = open_handle_on(printer, peer);
        ASSERT_TRUE(p && peer >= 0) << QB_GetLastErrorMessage();
        const auto print_ten = [&] {
            int printed = 0;
            for (int i = 0; i < 10; ++i) printed += QB_PrinterSendCommand(p, "N") == 0 && QB_PrinterPrint(p, 1) == 0;
            return printed;
        };
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (child_closes) _exit(QB_PrinterClose(p) == 0 ? 0 : 1);
            usleep(300000);  // the parent closes first
            _exit(print_ten() == 10 && QB_PrinterClose(p) == 0 ? 0 : 2);
        }
        if (child_closes) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_EQ(WEXITSTATUS(status), 0);
            EXPECT_EQ(print_ten(), 10);
        }
        EXPECT_EQ(QB_PrinterClose(p), 0) << QB_GetLastErrorMessage();
        if (!child_closes) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_EQ(WEXITSTATUS(status), 0);
        }
        const std::string got = Listener::read_all(peer, 500ms);
        std::size_t labels = 0;
        for (auto at = got.find("P1\n"); at != std::string::npos; at = got.find("P1\n", at + 1)) ++labels;
        EXPECT_EQ(labels, 10u);
    }
}

TEST_F(Network, PrinterThatGoesAwayFailsTheWriteWithoutSigpipe) {
    Listener printer;
    ASSERT_TRUE(printer.ok());
    const std::string url = "tcp://127.0.0.1:" + std::to_string(printer.port());
    qbtest::open_port_on(2, url);
    const int peer = printer.accept_one();
    ASSERT_GE(peer, 0);
    ASSERT_EQ(QB_SetClear(), 0);
    EXPECT_EQ(Listener::read_all(peer), "N\n");
    close(peer);
    // The first write after the peer is gone may still be taken by the
    // system; one of the next ones fails, and the process lives on.
    int result = 0;
    for (int i = 0; i < 50 && result == 0; ++i) {
        result = QB_Print(1);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
    // The P1 the system took before the printer went was never delivered:
    // the close says so rather than report a clean end.
    EXPECT_EQ(QB_PortClose(), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_CLOSE);
    EXPECT_NE(std::string(QB_GetLastErrorMessage()).find("not delivered"), std::string::npos);
}

}  // namespace

namespace {

void on_alarm(int) {}

// A handled signal while the connection is being made does not fail the
// open: the connect goes on within its time.
TEST_F(Network, SignalDuringConnectDoesNotFailTheOpen) {
    quillbar::set_connect_timeout(4s);
    Listener slow(AF_INET, 0);
    ASSERT_TRUE(slow.ok());
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(slow.port()));
    std::vector<int> fillers;  // the queue is full: our SYN waits for a retry
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        connect(fillers.back(), reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    struct sigaction action{}, old{};
    action.sa_handler = on_alarm;  // no SA_RESTART: poll() returns EINTR
    sigaction(SIGALRM, &action, &old);
    itimerval every{{0, 50000}, {0, 50000}}, off{};
    setitimer(ITIMER_REAL, &every, nullptr);
    std::atomic<bool> opened{false};
    std::thread acceptor([&] {
        std::this_thread::sleep_for(300ms);
        while (!opened) slow.accept_one(50ms);
    });
    ASSERT_EQ(QB_PortSetDevice(1, ("tcp://127.0.0.1:" + std::to_string(slow.port())).c_str()), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QB_PortOpen(1, 9600), 0) << QB_GetLastErrorMessage();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    opened = true;
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    acceptor.join();
    for (int c : fillers) close(c);
    quillbar::set_connect_timeout(5s);
}

}  // namespace
