// SPDX-License-Identifier: MIT
// Network printers: raw EPL2 on a TCP port, against listeners on the
// loopback address that the tests start themselves.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
    // What the printer never took cannot be delivered at close either: said
    // within the no-progress time, never reported as a clean close.
    const auto closing = std::chrono::steady_clock::now();
    EXPECT_EQ(QB_PortClose(), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_CLOSE);
    EXPECT_NE(std::string(QB_GetLastErrorMessage()).find("were not delivered"), std::string::npos)
        << QB_GetLastErrorMessage();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 3s);
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
