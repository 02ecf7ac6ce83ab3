// SPDX-License-Identifier: MIT
// The first QB_PrintChineseStr of a fresh process (fontconfig set-up and
// face loading included), in milliseconds.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "quillbar.h"

int main() {
    char path[] = "/tmp/quillbar-first-XXXXXX";
    const int fd = mkstemp(path);
    QB_PortSetDevice(1, path);
    QB_PortOpen(1, 9600);
    const auto start = std::chrono::steady_clock::now();
    const int rc = QB_PrintChineseStr(10, 20, 0, 0, 3, 0, "\xD6\xD0\xCE\xC4\xB1\xEA\xC7\xA9");
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    QB_PortClose();
    close(fd);
    unlink(path);
    std::printf("%.3f\n", took.count());
    return rc == 0 ? 0 : 1;
}
