// SPDX-License-Identifier: MIT
// The web service's front door on real sockets, with the test as the HTTP
// server behind it: what reaches the server, in whatever pieces the client
// sends, and what the client is told when a request does not parse.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "http_front_door.h"

namespace {

using quillbar::tool::FrontDoor;

struct Row {
    const char *name;
    std::string sent;
    std::string reaches_server;  // of what was sent
    unsigned refused;            // 0: nothing refused
};

const std::string kGet = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
const std::string kPost = "POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc";
const std::string kChunked = "POST /c HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n";

const Row kRows[] = {
    {"two requests and a chunked one", kGet + kPost + kChunked, kGet + kPost + kChunked, 0},
    {"empty lines between requests", kGet + "\r\n" + kPost, kGet + "\r\n" + kPost, 0},
    {"a bad Content-Length after a good request", kGet + "POST /b HTTP/1.1\r\nContent-Length: 3x\r\n\r\nabc", kGet,
     400},
    {"two Content-Lengths", "POST /b HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabc", "", 400},
    {"a broken chunk: its head passes, not the chunk",
     "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
     "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
    {"HTTP/2.0", "GET / HTTP/2.0\r\nHost: x\r\n\r\n", "", 505},
    {"a method HTTP does not have", kGet + "FETCH / HTTP/1.1\r\n\r\n", kGet, 501},
    {"a path over the head limit", "GET /" + std::string(quillbar::tool::kMaxHead, 'a') + " HTTP/1.1\r\n\r\n", "", 414},
    {"a field over the head limit", "GET / HTTP/1.1\r\nX: " + std::string(quillbar::tool::kMaxHead, 'a') + "\r\n\r\n",
     "", 431},
};

// The door's turns until done() or two seconds.
template <typename Done>
void turn(FrontDoor &door, Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done() && std::chrono::steady_clock::now() < until) {
        pollfd ready{door.fd(), POLLIN, 0};
        poll(&ready, 1, door.timeout(10));
        door.run();
    }
}

// All a socket has until it ends or is quiet for a while, as the door turns.
std::string read_all(FrontDoor &door, int fd, bool until_end) {
    std::string got;
    bool ended = false;
    turn(door, [&] {
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        ended = n == 0;
        return ended || (!until_end && n < 0 && !got.empty());
    });
    return got;
}

class FrontDoorRows : public testing::TestWithParam<std::size_t> {};

// Each row is sent whole and a byte at a time: heads are held until they
// parse, whatever the pieces.
TEST_P(FrontDoorRows, PassesWhatParsesAndRefusesTheRest) {
    const Row &row = kRows[GetParam() / 2];
    const bool byte_at_a_time = GetParam() % 2 == 1 && row.sent.size() < 4096;
    SCOPED_TRACE(std::string(row.name) + (byte_at_a_time ? ", a byte at a time" : ", whole"));
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    int server = -1;
    std::vector<unsigned> refusals;
    std::string error;
    auto door = FrontDoor::open(
        listener, [&server](int socket, const sockaddr *, socklen_t) { return server = socket, true; },
        [&refusals](unsigned status) { refusals.push_back(status); }, error);
    ASSERT_TRUE(door) << error;
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    turn(*door, [&] { return server >= 0; });
    ASSERT_GE(server, 0);
    for (std::size_t at = 0; at < row.sent.size();) {
        const std::size_t piece = byte_at_a_time ? 1 : row.sent.size() - at;
        ASSERT_EQ(send(client, row.sent.data() + at, piece, MSG_NOSIGNAL), static_cast<ssize_t>(piece));
        at += piece;
        if (byte_at_a_time) turn(*door, [] { return true; });
    }
    // The server reads what passed; after a refusal, then the end.
    EXPECT_EQ(read_all(*door, server, row.refused != 0), row.reaches_server);
    if (row.refused) {
        // The server answers what it had, if anything, and closes: then the
        // refusal.
        const std::string answer = row.reaches_server.empty() ? "" : "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
        ASSERT_EQ(send(server, answer.data(), answer.size(), MSG_NOSIGNAL), static_cast<ssize_t>(answer.size()));
        close(server);
        const std::string told = read_all(*door, client, true);
        const std::string status = "HTTP/1.1 " + std::to_string(row.refused) + " ";
        const std::string expected_start = answer + status;
        EXPECT_EQ(told.substr(0, expected_start.size()), expected_start) << told.substr(0, 200);
        EXPECT_NE(told.find("Content-Type: text/plain"), std::string::npos);
        EXPECT_EQ(told.find("<"), std::string::npos);
        EXPECT_EQ(refusals, std::vector<unsigned>{row.refused});
    } else {
        // The server's answer reaches the client as it is.
        const std::string answer = "HTTP/1.1 204 No Content\r\n\r\n";
        ASSERT_EQ(send(server, answer.data(), answer.size(), MSG_NOSIGNAL), static_cast<ssize_t>(answer.size()));
        EXPECT_EQ(read_all(*door, client, false), answer);
        EXPECT_TRUE(refusals.empty());
        close(server);
    }
    close(client);
}

INSTANTIATE_TEST_SUITE_P(Rows, FrontDoorRows, testing::Range<std::size_t>(0, 2 * std::size(kRows)));

}  // namespace
