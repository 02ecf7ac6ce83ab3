// SPDX-License-Identifier: MIT
#include "http_front_door.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <linux/sockios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace quillbar::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBuffer = 64u << 10;  // held each way before the sender waits
// After its last answer a connection is read and dropped for a while before
// it closes, so that a client still sending sees the answer rather than a
// reset.
constexpr std::size_t kDrain = 8u << 20;
constexpr auto kLinger = std::chrono::seconds(2);
constexpr std::size_t kMostLingering = 64;
constexpr int kAcceptsATurn = 32;
// accept() out of descriptors: the listener rests this long.
constexpr auto kRest = std::chrono::milliseconds(100);

}  // namespace

struct FrontDoor::Passage {
    struct End {
        Passage *passage;
        bool client;
    };
    int client = -1;
    int inside = -1;  // the pair's end the daemon does not have
    End client_end{this, true};
    End inside_end{this, false};
    std::uint32_t watched[2] = {0, 0};  // what epoll watches on each end (0: not at all)
    RequestReader reader;
    bool shut_waiting = false;  // the daemon has still to read what it was given before it is told the end
    std::string refusal;  // the answer to a request that does not parse, after the daemon's
    std::string to_inside, to_client;
    bool client_done = false;  // the client sent its last byte
    bool inside_shut = false;  // the daemon was told there is no more
    bool inside_done = false;  // the daemon closed its end
    bool broken = false;       // the client can no longer be written to
    bool answered = false;     // bytes went to the client
    bool lingering = false;
    Clock::time_point linger_until;
    std::size_t drained = 0;
    bool over = false;
};

std::unique_ptr<FrontDoor> FrontDoor::open(int listener, Hand hand, Refused refused, std::string &error) {
    if (!RequestReader::load(error)) return nullptr;
    std::unique_ptr<FrontDoor> door(new FrontDoor(listener, std::move(hand), std::move(refused)));
    if (door->epoll_ < 0) {
        door->listener_ = -1;  // the caller's still
        error = "the HTTP server could not watch its sockets";
        return nullptr;
    }
    return door;
}

FrontDoor::FrontDoor(int listener, Hand hand, Refused refused)
    : listener_(listener), epoll_(epoll_create1(EPOLL_CLOEXEC)), hand_(std::move(hand)), refused_(std::move(refused)) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.ptr = nullptr;
    if (epoll_ >= 0) epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &e);
}

FrontDoor::~FrontDoor() {
    for (Passage &p : passages_) {
        close(p.client);
        close(p.inside);
    }
    if (epoll_ >= 0) close(epoll_);
    if (listener_ >= 0) close(listener_);
}

int FrontDoor::timeout(int longest) const {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = now + std::chrono::milliseconds(longest);
    if (resting_) next = std::min(next, resting_until_);
    for (const Passage &p : passages_) {
        if (p.lingering) next = std::min(next, p.linger_until);
        if (p.shut_waiting) next = std::min(next, now + std::chrono::milliseconds(2));
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::clamp<long long>(ms + 1, 0, longest));
}

void FrontDoor::finish(Clock::time_point until) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
    resting_ = false;
    while (!passages_.empty() && Clock::now() < until) {
        for (Passage &p : passages_) {
            // Nothing more is read from the clients.
            p.client_done = true;
            pump(p);
            watch(p, true);
            watch(p, false);
        }
        // Once all is sent nothing is waited for.
        for (Passage &p : passages_) p.over = p.over || p.lingering;
        close_over();
        epoll_event events[64];
        epoll_wait(epoll_, events, 64, 10);
    }
}

void FrontDoor::accept_all() {
    // A few at a time: between them the daemon closes the connections the
    // guard let go to make room for these.
    for (int taken = 0; taken < kAcceptsATurn; ++taken) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int client =
            accept4(listener_, reinterpret_cast<sockaddr *>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the listener rests, or it would wake
                // this thread again at once.
                epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
                resting_until_ = Clock::now() + kRest;
                resting_ = true;
            }
            return;
        }
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
            close(client);
            continue;
        }
        if (!hand_(pair[1], reinterpret_cast<sockaddr *>(&from), length)) {
            // The daemon is full: said, at best, before the connection closes.
            const std::string full = RequestReader::plain_answer(503, "the service has as many connections as it takes; try again");
            (void)!send(client, full.data(), full.size(), MSG_NOSIGNAL);
            shutdown(client, SHUT_WR);
            close(pair[0]);
            close(client);
            continue;
        }
        Passage &p = passages_.emplace_back();
        p.client = client;
        p.inside = pair[0];
        watch(p, true);
        watch(p, false);
    }
}

void FrontDoor::watch(Passage &p, bool client) {
    std::uint32_t want = 0;
    if (client) {
        if (!p.client_done && (p.to_inside.size() < kBuffer || !p.refusal.empty() || p.lingering)) want |= EPOLLIN;
        if (!p.to_client.empty() && !p.broken) want |= EPOLLOUT;
    } else {
        if (!p.inside_done && p.to_client.size() < kBuffer) want |= EPOLLIN;
        if (!p.to_inside.empty() && !p.inside_shut) want |= EPOLLOUT;
    }
    std::uint32_t &had = p.watched[client ? 0 : 1];
    if (want == had) return;
    epoll_event e{};
    e.events = want;
    e.data.ptr = client ? &p.client_end : &p.inside_end;
    epoll_ctl(epoll_, !had ? EPOLL_CTL_ADD : !want ? EPOLL_CTL_DEL : EPOLL_CTL_MOD, client ? p.client : p.inside, &e);
    had = want;
}

// One step each way; whether anything moved. A read that came short has
// emptied its socket: it is not tried again in this turn (drained).
bool FrontDoor::move(Passage &p, bool drained[2]) {
    char buffer[16 << 10];
    bool moved = false;
    // From the client: parsed on its way to the daemon; after a refusal, or
    // once the last answer is out, read and dropped.
    if (!drained[0] && !p.client_done && (p.to_inside.size() < kBuffer || !p.refusal.empty() || p.lingering)) {
        const ssize_t n = recv(p.client, buffer, sizeof buffer, 0);
        moved = n >= 0;
        drained[0] = n < static_cast<ssize_t>(sizeof buffer);
        if (n > 0 && (!p.refusal.empty() || p.lingering)) {
            p.drained += static_cast<std::size_t>(n);
            if (p.drained > kDrain) p.client_done = true;
        } else if (n > 0) {
            // What parses goes on to the daemon; a request that does not is
            // refused once the daemon has answered those before it.
            if (const auto refusal = p.reader.take(buffer, static_cast<std::size_t>(n), p.to_inside)) {
                p.refusal = RequestReader::plain_answer(refusal->status, refusal->why);
                if (refused_) refused_(refusal->status);
            }
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            p.client_done = true;
        }
    }
    if (!p.to_inside.empty() && !p.inside_shut) {
        const ssize_t n = send(p.inside, p.to_inside.data(), p.to_inside.size(), MSG_NOSIGNAL);
        if (n > 0)
            p.to_inside.erase(0, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            p.to_inside.clear();
        moved |= n > 0;
    }
    // From the daemon to the client, and the refusal after the daemon's last
    // answer.
    if (!drained[1] && !p.inside_done && p.to_client.size() < kBuffer) {
        const ssize_t n = recv(p.inside, buffer, sizeof buffer, 0);
        moved |= n >= 0;
        drained[1] = n < static_cast<ssize_t>(sizeof buffer);
        if (n > 0) {
            p.to_client.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            p.inside_done = true;
            p.to_client += p.refusal;
        }
    }
    if (!p.to_client.empty() && !p.broken) {
        const ssize_t n = send(p.client, p.to_client.data(), p.to_client.size(), MSG_NOSIGNAL);
        if (n > 0) {
            p.to_client.erase(0, static_cast<std::size_t>(n));
            p.answered = true;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            p.broken = true;
        }
        moved |= n > 0;
    }
    return moved;
}

// Moves what can move each way without waiting: a few steps while bytes
// move, so that a large body or answer goes on within a turn, yet no
// connection holds the others up for long.
void FrontDoor::pump(Passage &p) {
    bool drained[2] = {false, false};
    for (int step = 0; step < 16 && move(p, drained); ++step) {
    }
    // The daemon is told there is no more only once it has read all it was
    // given: told at once, it may take the end with the last bytes and
    // not see it.
    p.shut_waiting = false;
    if ((p.client_done || !p.refusal.empty()) && p.to_inside.empty() && !p.inside_shut) {
        int unread = 0;
        if (ioctl(p.inside, SIOCOUTQ, &unread) == 0 && unread > 0) {
            p.shut_waiting = true;
        } else {
            shutdown(p.inside, SHUT_WR);
            p.inside_shut = true;
        }
    }
    // A connection that was never answered closes at once.
    if (p.inside_done && (p.to_client.empty() || p.broken) && !p.lingering) {
        p.over = !p.answered || p.broken;
        p.lingering = true;
        p.linger_until = Clock::now() + kLinger;
        shutdown(p.client, SHUT_WR);
    }
    if (p.lingering && (p.client_done || p.broken || Clock::now() >= p.linger_until)) p.over = true;
}

void FrontDoor::run() {
    const Clock::time_point now = Clock::now();
    if (resting_ && now >= resting_until_) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.ptr = nullptr;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &e);
        resting_ = false;
    }
    epoll_event events[64];
    const int ready = epoll_wait(epoll_, events, 64, 0);
    for (int i = 0; i < ready; ++i) {
        if (!events[i].data.ptr) {
            accept_all();
            continue;
        }
        Passage &p = *static_cast<Passage::End *>(events[i].data.ptr)->passage;
        if (p.over) continue;
        // A client whose connection is gone both ways cannot be answered.
        if (static_cast<Passage::End *>(events[i].data.ptr)->client && (events[i].events & (EPOLLHUP | EPOLLERR)))
            p.broken = p.client_done = true;
        pump(p);
        watch(p, true);
        watch(p, false);
    }
    for (Passage &p : passages_)
        if (p.shut_waiting && !p.over) {
            pump(p);
            watch(p, true);
            watch(p, false);
        }
    // Lingering connections past their time, the oldest first when too many
    // linger.
    std::size_t lingering = 0;
    for (auto it = passages_.rbegin(); it != passages_.rend(); ++it)
        if (it->lingering && !it->over && (now >= it->linger_until || ++lingering > kMostLingering)) it->over = true;
    close_over();
}

void FrontDoor::close_over() {
    passages_.remove_if([](const Passage &p) {
        if (!p.over) return false;
        close(p.client);
        close(p.inside);
        return true;
    });
}

}  // namespace quillbar::tool
