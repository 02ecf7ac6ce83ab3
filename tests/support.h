// SPDX-License-Identifier: MIT
// Real stand-ins for printers: a pseudo-terminal as the serial port, files
// and FIFOs as the parallel port.
#pragma once

#include <chrono>
#include <string>

namespace qbtest {

// A pseudo-terminal. The test reads what the library writes to the slave on
// the master side. A second descriptor keeps the slave alive between opens,
// so that bytes already sent survive a QB_PortClose.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    const std::string &slave() const { return slave_; }
    int master() const { return master_; }
    int keeper() const { return keeper_; }

    // Everything that arrives until no byte has come for quiet.
    std::string drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));
    // Exactly n bytes, or what arrived before the deadline.
    std::string read_exact(std::size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // The printer goes away.
    void hang_up();

private:
    int master_ = -1;
    int keeper_ = -1;
    std::string slave_;
};

// A folder that is removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string file(const std::string &name, const std::string &content = "") const;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
int open_fd_count();

// Runs body in a forked child and returns its exit status (or -1 when it
// did not exit normally): another process, as a second user of a port.
int in_child(int (*body)());

// In a child process: gives up root for the nobody user (nothing to do for
// an unprivileged user). False when that failed.
bool drop_privileges();

// What zbarimg reads in the picture, "" for nothing.
std::string zbar_decode(const std::string &png);
// What zxing-cpp reads in the picture, "" for nothing.
std::string zxing_decode(const std::string &png);

// Routes selector port to device and opens it at 9600; fails the test if it
// does not open.
void open_port_on(int port, const std::string &device);

}  // namespace qbtest
