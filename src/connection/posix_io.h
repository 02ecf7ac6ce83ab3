// SPDX-License-Identifier: MIT
// What the POSIX devices share: a descriptor that closes itself, a failure
// worded with its errno, and the TCP connection of a network printer.
#pragma once

#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>

namespace quillbar {

inline std::string reason(const std::string &what, int error) { return what + ": " + std::strerror(error); }

// Owns one file descriptor; every early return closes it.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Connects to a "tcp://HOST:PORT" route within the connect time (a printer
// that does not answer fails the open instead of hanging it): the socket,
// non-blocking and sending each write at once, or -1 with why.
int connect_tcp(const std::string &route, std::string &why);

// How a network printer's connection is ending: as asked, cancelled by a
// close from another thread while a call wrote, or after a failed write (the
// printer's side is known dead).
enum class CloseWait { normal, cancelled, printer_dead };

// What its end came to: bytes known lost (the connection failed), or bytes
// the printer had not confirmed when the wait stopped (they may still
// print), in words that say so; neither when every byte was taken.
struct Ending {
    bool lost = false;
    long unconfirmed = 0;
    std::string words;
};

// Lets the printer take what was written, then leaves the descriptor for
// the caller to close (shared: another process holds it too, so no FIN).
Ending end_connection(int fd, const std::string &route, CloseWait wait, bool shared);

}  // namespace quillbar
