// SPDX-License-Identifier: MIT
// LPT1 routed to a scratch file for the length of a benchmark.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "quillbar.h"

class Capture {
public:
    Capture() {
        char path[] = "/tmp/quillbar-bench-XXXXXX";
        fd_ = mkstemp(path);
        path_ = path;
        QB_PortSetDevice(1, path_.c_str());
        QB_PortOpen(1, 9600);
    }
    ~Capture() {
        QB_PortClose();
        close(fd_);
        unlink(path_.c_str());
    }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;
    // Keeps the file small; the port appends, so this costs the writes nothing.
    void trim() { (void)!ftruncate(fd_, 0); }

private:
    int fd_;
    std::string path_;
};
