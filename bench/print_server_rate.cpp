// SPDX-License-Identifier: MIT
// Labels a second through a local CUPS queue against a direct tcp:// route,
// measured in the same run, each to the virtual printer on TCP, from the
// first call until the printer has received every label.
//
//   quillbar_print_server_rate PREVIEW_TOOL [LABELS]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "print_server.h"
#include "quillbar.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string folder() {
    char name[] = "/tmp/quillbar-bench-XXXXXX";
    return mkdtemp(name);
}

// Prints count labels through route; seconds until the printer has them, or
// a negative number when something failed.
double labels_through(const std::string &route, int count, qbtest::ListeningPrinter &printer, long jobs_after) {
    const auto start = Clock::now();
    if (QB_PortSetDevice(1, route.c_str()) != 0 || QB_PortOpen(1, 9600) != 0) return -1;
    for (int n = 0; n < count; ++n)
        if (QB_SetClear() != 0 || QB_PrintCharacter(1, 1, 0, 2, 1, 1, 0, ("LABEL " + std::to_string(n)).c_str()) != 0 ||
            QB_Print(1) != 0)
            return -1;
    if (QB_PortClose() != 0) return -1;
    if (!printer.wait_for_jobs(jobs_after, 300)) return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 64;
    const int count = argc > 2 ? std::atoi(argv[2]) : 300;
    const std::string printer_dir = folder(), server_dir = folder();
    qbtest::ListeningPrinter printer(argv[1], printer_dir);
    qbtest::PrintServer server(server_dir);
    if (printer.port() <= 0 || !server.ok() ||
        !server.add_raw_queue("labels", "socket://127.0.0.1:" + std::to_string(printer.port()))) {
        std::fprintf(stderr, "print server: could not start cupsd or the virtual printer\n");
        return 1;
    }
    setenv("CUPS_SERVER", server.address().c_str(), 1);
    // tcp:// makes one job of all; the queue one job a label.
    const double direct = labels_through("tcp://127.0.0.1:" + std::to_string(printer.port()), count, printer, 1);
    const double queued = labels_through("cups:labels", count, printer, 1 + count);
    std::string rm = "rm -rf " + printer_dir + " " + server_dir;
    if (std::system(rm.c_str()) != 0) return 1;
    if (direct <= 0 || queued <= 0) {
        std::fprintf(stderr, "print server: %s\n", QB_GetLastErrorMessage());
        return 1;
    }
    std::printf("%d labels, each printed and received: direct tcp:// %.0f labels/s, through a local CUPS queue %.0f "
                "labels/s (queue/direct %.3f)\n",
                count, count / direct, count / queued, direct / queued);
    return 0;
}
