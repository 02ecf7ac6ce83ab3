// SPDX-License-Identifier: MIT
// Each command export's cost per call writing to a plain file, and the
// command channel's throughput on a pseudo-terminal against a plain write()
// loop sending the same lines in the same run.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "capture.h"
#include "quillbar.h"

namespace {

struct ExportCase {
    const char *name;
    std::function<int()> call;
};

std::string g_picture;

const std::vector<ExportCase> &export_cases() {
    static const std::vector<ExportCase> cases = {
        {"QB_SetPrinterComSpeed", [] { return QB_SetPrinterComSpeed(2); }},
        {"QB_SetDarkness", [] { return QB_SetDarkness(8); }},
        {"QB_SetPrintSpeed", [] { return QB_SetPrintSpeed(3); }},
        {"QB_SetPrintXY", [] { return QB_SetPrintXY(2, 3); }},
        {"QB_SetPrintFeedDim", [] { return QB_SetPrintFeedDim(100); }},
        {"QB_SetPaperSize", [] { return QB_SetPaperSize(0, 100, 150, 3); }},
        {"QB_SetClear", [] { return QB_SetClear(); }},
        {"QB_SetInitialize", [] { return QB_SetInitialize(3, 10, 1); }},
        {"QB_SetPrintBack", [] { return QB_SetPrintBack(1); }},
        {"QB_PrintLine", [] { return QB_PrintLine(10, 5, 40, 1); }},
        {"QB_PrintBox", [] { return QB_PrintBox(1, 2, 50, 30, 1); }},
        {"QB_PrintCharacter", [] { return QB_PrintCharacter(5, 5, 0, 3, 1, 1, 0, "SHIP TO: A. Reader"); }},
        {"QB_PrintBarcode", [] { return QB_PrintBarcode(5, 10, 0, 1, 2, 6, 100, 1, "QB-2026-000142"); }},
        {"QB_Print", [] { return QB_Print(1); }},
        {"QB_PrintMemGraphics", [] { return QB_PrintMemGraphics(1, 2, "LOGO"); }},
        {"QB_DeleteMemGraphics", [] { return QB_DeleteMemGraphics("LOGO"); }},
        {"QB_DownPicture_1KB", [] { return QB_DownPicture(g_picture.c_str(), "LOGO"); }},
        {"QB_GetLastError", [] { return QB_GetLastError()[0] == 'x' ? -1 : 0; }},
    };
    return cases;
}

void BM_Export(benchmark::State &state, const ExportCase *c) {
    Capture port;
    long n = 0;
    for (auto _ : state) {
        if (c->call() != 0) state.SkipWithError("the call failed");
        if (++n % 8192 == 0) port.trim();
    }
}

// The floor of every export: write() of a label's text line, formatted
// beforehand, to a plain file.
void BM_PlainWriteToFile(benchmark::State &state) {
    char path[] = "/tmp/quillbar-bench-floor-XXXXXX";
    const int fd = mkstemp(path);
    const std::string line = "A40,40,0,3,1,1,N,\"SHIP TO: A. Reader\"\n";
    long n = 0;
    for (auto _ : state) {
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) state.SkipWithError("write failed");
        if (++n % 8192 == 0) (void)!ftruncate(fd, 0);
    }
    close(fd);
    unlink(path);
}
BENCHMARK(BM_PlainWriteToFile);

// ---- a handle call against the same flat call -------------------------------------

// Both write to /dev/null, so what differs is the library's own path: the
// handle's lookup against the default printer's.
void BM_FlatCall(benchmark::State &state) {
    QB_PortSetDevice(1, "/dev/null");
    QB_PortOpen(1, 9600);
    for (auto _ : state)
        if (QB_PrintCharacter(5, 5, 0, 3, 1, 1, 0, "SHIP TO: A. Reader") != 0) state.SkipWithError("the call failed");
    QB_PortClose();
}
BENCHMARK(BM_FlatCall);

void BM_HandleCall(benchmark::State &state) {
    QB_Printer *p = QB_PrinterOpen("/dev/null", 0);
    for (auto _ : state)
        if (QB_PrinterPrintCharacter(p, 5, 5, 0, 3, 1, 1, 0, "SHIP TO: A. Reader") != 0) state.SkipWithError("the call failed");
    QB_PrinterClose(p);
}
BENCHMARK(BM_HandleCall);

// Their floor: write() of the same line, formatted beforehand, to /dev/null.
// What the flat call takes beyond it is the library's own path per call.
void BM_PlainWriteToDevNull(benchmark::State &state) {
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const std::string line = "A40,40,0,3,1,1,N,\"SHIP TO: A. Reader\"\n";
    for (auto _ : state)
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) state.SkipWithError("write failed");
    close(fd);
}
BENCHMARK(BM_PlainWriteToDevNull);

// ---- throughput on a pseudo-terminal ---------------------------------------------

constexpr std::size_t kMegabyte = 1 << 20;
const char kText[] = "QUILLBAR PARCEL SERVICE 0123456789";  // a label-sized line of 54 bytes

std::string label_line() { return std::string("A40,40,0,3,1,1,N,\"") + kText + "\"\n"; }

// A pseudo-terminal whose master a thread drains as fast as it can.
class DrainedPty {
public:
    DrainedPty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        slave_ = ptsname(master_);
        reader_ = std::thread([this] {
            char buf[65536];
            pollfd pfd{master_, POLLIN, 0};
            while (!stop_) {
                if (poll(&pfd, 1, 50) == 1 && read(master_, buf, sizeof buf) <= 0) break;
            }
        });
    }
    ~DrainedPty() {
        stop_ = true;
        reader_.join();
        close(master_);
    }
    const std::string &slave() const { return slave_; }
    // The slave opened again, raw, for a peer that writes to it itself.
    int open_raw() const {
        const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        return fd;
    }

private:
    int master_;
    std::string slave_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

void BM_ChannelToPty(benchmark::State &state) {
    DrainedPty pty;
    QB_PortSetDevice(3, pty.slave().c_str());
    QB_PortOpen(3, 38400);
    const std::size_t lines = kMegabyte / label_line().size();
    for (auto _ : state)
        for (std::size_t i = 0; i < lines; ++i)
            if (QB_PrintCharacter(5, 5, 0, 3, 1, 1, 0, kText) != 0) state.SkipWithError("write failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * lines * label_line().size()));
    QB_PortClose();
}
BENCHMARK(BM_ChannelToPty)->Unit(benchmark::kMillisecond);

// The peer: the same lines, formatted beforehand, written with write() to a
// raw pseudo-terminal.
void BM_PlainWriteToPty(benchmark::State &state) {
    DrainedPty pty;
    const int fd = pty.open_raw();
    const std::string line = label_line();
    const std::size_t lines = kMegabyte / line.size();
    for (auto _ : state)
        for (std::size_t i = 0; i < lines; ++i)
            if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) state.SkipWithError("write failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * lines * line.size()));
    close(fd);
}
BENCHMARK(BM_PlainWriteToPty)->Unit(benchmark::kMillisecond);

// A peer that composes each line as it goes, with snprintf(), as a program
// writing EPL2 by hand would, then writes it to a raw pseudo-terminal.
void BM_FormattedWriteToPty(benchmark::State &state) {
    DrainedPty pty;
    const int fd = pty.open_raw();
    const std::size_t lines = kMegabyte / label_line().size();
    char line[128];
    for (auto _ : state)
        for (std::size_t i = 0; i < lines; ++i) {
            const int n = std::snprintf(line, sizeof line, "A%d,%d,%d,%d,%d,%d,%c,\"%s\"\n", 5 * 8, 5 * 8, 0, 3, 1, 1, 'N', kText);
            if (write(fd, line, static_cast<std::size_t>(n)) != n) state.SkipWithError("write failed");
        }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * lines * label_line().size()));
    close(fd);
}
BENCHMARK(BM_FormattedWriteToPty)->Unit(benchmark::kMillisecond);

const bool g_registered = [] {
    char path[] = "/tmp/quillbar-bench-logo-XXXXXX";
    const int fd = mkstemp(path);
    const std::string data(1024, '\x42');
    (void)!write(fd, data.data(), data.size());
    close(fd);
    g_picture = path;
    std::atexit([] { unlink(g_picture.c_str()); });
    for (const ExportCase &c : export_cases()) benchmark::RegisterBenchmark((std::string("BM_Export/") + c.name).c_str(), BM_Export, &c);
    return true;
}();

}  // namespace
