// SPDX-License-Identifier: MIT
// The web service's front door. It accepts each connection itself and gives
// the HTTP daemon one end of a socket pair, passing bytes both ways and
// reading the client's requests (RequestReader) as they pass. A request
// that is not well-formed HTTP (a path or head too long, a bad or doubled
// Content-Length, a broken chunk, a method or version the service does not
// speak) never reaches the daemon: once the daemon has answered what came
// before it, the client is told why in plain text, with one status line,
// and the connection closes.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "request_reader.h"

namespace quillbar::tool {

class FrontDoor {
public:
    // Gives the daemon its end of a pair, with the client's address; false
    // when the daemon does not take it (it has closed that end then).
    using Hand = std::function<bool(int socket, const sockaddr *from, socklen_t length)>;

    // Told the status of each request refused for not being HTTP.
    using Refused = std::function<void(unsigned status)>;

    // Takes the listening socket; null, with the reason, when the HTTP
    // parser cannot be loaded.
    static std::unique_ptr<FrontDoor> open(int listener, Hand hand, Refused refused, std::string &error);
    ~FrontDoor();
    FrontDoor(const FrontDoor &) = delete;
    FrontDoor &operator=(const FrontDoor &) = delete;

    // Readable when run() has something to do.
    int fd() const { return epoll_; }
    // Accepts, passes bytes and closes what is over, without waiting.
    void run();
    // Milliseconds until run() has something to do that no socket says,
    // at most longest.
    int timeout(int longest) const;
    // The daemon has stopped: what it wrote goes to the clients, for as
    // long as until, and every connection closes.
    void finish(std::chrono::steady_clock::time_point until);

    struct Passage;

private:
    FrontDoor(int listener, Hand hand, Refused refused);
    void accept_all();
    bool move(Passage &p, bool drained[2]);
    void pump(Passage &p);
    void watch(Passage &p, bool client);
    void close_over();

    int listener_ = -1;
    int epoll_ = -1;
    Hand hand_;
    Refused refused_;
    std::list<Passage> passages_;
    bool resting_ = false;  // out of descriptors, the listener is not watched until
    std::chrono::steady_clock::time_point resting_until_;
};

}  // namespace quillbar::tool
