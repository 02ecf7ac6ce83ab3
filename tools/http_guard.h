// SPDX-License-Identifier: MIT
// Who is connected to the web service, and how long each may take. A
// request's head and body have deadlines that bytes do not push back, so a
// client that drips them a byte at a time is let go like one that sends
// nothing. Connections have caps, in all and from one address; at a cap a
// newcomer takes the place of the connection that has waited longest for
// its next request's head (then of the oldest body on its way), so that
// clients that hold connections open cannot lock the others out. An
// address may also be held to a number of requests a second (--http-rate).
//
// Clients are told apart by address: behind a reverse proxy every client is
// the proxy's one address, and the proxy is where to limit them.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>

namespace quillbar::tool {

using Clock = std::chrono::steady_clock;

// The address a peer connects from, as text ("127.0.0.1", "::1"); an IPv4
// address seen through IPv6 is written as IPv4.
std::string address_text(const sockaddr *address);

class ConnectionGuard {
public:
    struct Limits {
        std::size_t total = 256;        // connections at once
        std::size_t per_address = 128;  // from one address
        std::chrono::seconds head{10};  // a new connection's first head, whole
        std::chrono::seconds idle{30};  // the next head on a kept-alive connection
        std::chrono::seconds body{120};  // a body, and an answer, on their way
        double rate = 0;  // requests a second from one address (a second's worth at once); 0: any
    };

    // What a connection is doing: waiting for a head, moving a body or an
    // answer (each with a deadline), or neither (rendering, a stream of
    // events), when the service itself is what it waits on.
    enum class Stage { head, transfer, working };

    struct Peer {
        int fd = -1;
        std::string address;
        Stage stage = Stage::head;
        Clock::time_point since;     // the stage began
        Clock::time_point deadline;  // head and transfer
        bool let_go = false;         // shut down; its close is on its way
    };

    // Why a connection was let go: past a deadline, or to make room at a cap.
    enum class Reason { deadline, room };
    using LetGo = std::function<void(Reason)>;

    explicit ConnectionGuard(const Limits &limits, LetGo on_let_go = {})
        : limits_(limits), on_let_go_(std::move(on_let_go)) {}
    ConnectionGuard(const ConnectionGuard &) = delete;
    ConnectionGuard &operator=(const ConnectionGuard &) = delete;

    // A connection accepted: its peer, kept until closed(). When a cap is
    // reached, another connection is let go for it, or, when none may be,
    // this one.
    Peer *opened(int fd, const std::string &address, Clock::time_point now);
    void closed(Peer *peer);

    // A head arrived: the body, then the answer, have their deadline.
    void head_read(Peer *peer, Clock::time_point now) { enter(peer, Stage::transfer, limits_.body, now); }
    // The service works on the request, or streams events.
    void working(Peer *peer, Clock::time_point now) { enter(peer, Stage::working, {}, now); }
    // An answer goes out.
    void answering(Peer *peer, Clock::time_point now) { enter(peer, Stage::transfer, limits_.body, now); }
    // The request is over; the connection waits for the next.
    void request_done(Peer *peer, Clock::time_point now) { enter(peer, Stage::head, limits_.idle, now); }

    // Whether the peer's address may make a request now; if not, how many
    // seconds until it may.
    std::optional<long> over_rate(const Peer *peer, Clock::time_point now);

    // Lets go of the connections past their deadline; the milliseconds
    // until the next deadline, at most longest.
    int enforce(Clock::time_point now, int longest);

    std::size_t connections() const { return live_; }

private:
    void enter(Peer *peer, Stage stage, std::chrono::seconds limit, Clock::time_point now);
    Peer *victim(const std::string *address) const;
    void let_go(Peer *peer, Reason why);

    struct Bucket {
        double tokens = 0;
        Clock::time_point filled;
    };

    Limits limits_;
    LetGo on_let_go_;
    std::list<Peer> peers_;
    std::unordered_map<std::string, std::size_t> per_address_;  // live connections
    std::unordered_map<std::string, Bucket> buckets_;
    std::size_t live_ = 0;
};

}  // namespace quillbar::tool
