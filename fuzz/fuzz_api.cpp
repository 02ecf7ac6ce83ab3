// SPDX-License-Identifier: MIT
// libFuzzer target: the input is a sequence of QB_ calls with arbitrary
// arguments (selectors, ranges, negative and huge numbers, random byte
// strings, strings with no NUL in their first kilobyte, NULL pointers,
// picture files that are missing, empty, large or locked), with the ports
// routed to a file, a pseudo-terminal, a FIFO nobody reads, or nothing.
// No call may crash, trip a sanitizer, leak, or leave a descriptor open.
//
// Ports are never left on their default devices (/dev/lp0, /dev/ttyS0...):
// a call that restores a default is followed at once by a new route.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "connection/device.h"
#include "quillbar.h"

namespace {

// Descriptors of the kinds the library opens: files under the fuzzer's
// folder, terminals, sockets. (libFuzzer and the sanitizers open pipes of
// their own now and then, so a plain count would not do.)
std::string g_dir;
int open_fds() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d)) {
        char target[512] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
        const std::string t = target;
        n += (!g_dir.empty() && t.rfind(g_dir, 0) == 0) || t.rfind("/dev/pts/", 0) == 0 || t.rfind("socket:", 0) == 0;
    }
    closedir(d);
    return n;
}

// What the calls can reach, made once per process.
struct World {
    std::string dir;
    std::vector<std::string> devices;   // safe places to route a port to
    std::vector<std::string> pictures;  // files for QB_DownPicture
    int pty_master = -1;
    int fifo_reader = -1;
    int locked_fd = -1;
    int baseline_fds = 0;

    World() {
        char tmpl[] = "/tmp/quillbar-fuzz-XXXXXX";
        dir = mkdtemp(tmpl);
        g_dir = dir;
        const std::string capture = dir + "/capture.epl";
        close(open(capture.c_str(), O_CREAT | O_WRONLY, 0600));
        pty_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        grantpt(pty_master);
        unlockpt(pty_master);
        const std::string fifo = dir + "/fifo";
        mkfifo(fifo.c_str(), 0600);
        fifo_reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        devices = {capture, ptsname(pty_master), fifo, dir + "/missing", dir, "tcp://127.0.0.1:1"};

        const auto write_file = [&](const std::string &name, const std::string &data) {
            const std::string p = dir + "/" + name;
            FILE *f = std::fopen(p.c_str(), "wb");
            std::fwrite(data.data(), 1, data.size(), f);
            std::fclose(f);
            return p;
        };
        std::string pcx(300, '\0');
        pcx[0] = 0x0A;
        pictures = {write_file("logo.pcx", pcx), write_file("empty.pcx", ""),
                    write_file("large.pcx", std::string(300 << 10, '\xC1')), dir + "/missing.pcx", dir,
                    write_file("locked.pcx", "locked")};
        locked_fd = open(pictures.back().c_str(), O_RDONLY | O_CLOEXEC);
        flock(locked_fd, LOCK_EX);
        // A port that takes nothing gives up fast here.
        quillbar::set_no_progress_timeout(std::chrono::milliseconds(2));
        quillbar::set_connect_timeout(std::chrono::milliseconds(50));
        // The four faces stay open for the life of the process (their font
        // files with them): open them before counting descriptors.
        QB_PortSetDevice(1, capture.c_str());
        QB_PortOpen(1, 9600);
        for (int face = 0; face < 4; ++face) QB_PrintChineseStr(0, 0, face, 0, 1, 0, "\xD6\xD0");
        QB_PortClose();
        baseline_fds = open_fds();
    }

    // Nothing of the run is left in /tmp.
    ~World() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    void drain() const {
        char buf[65536];
        for (int fd : {pty_master, fifo_reader})
            while (read(fd, buf, sizeof buf) > 0) {
            }
    }
};

World &world() {
    static World w;
    return w;
}

int any_int(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.ConsumeIntegralInRange(-2, 10);
    case 1: return in.ConsumeIntegralInRange(60, 140);
    case 2: return in.PickValueInArray({0, -1, 9600, 19200, 38400, 65536, 65539, INT32_MAX, INT32_MIN});
    default: return in.ConsumeIntegral<int>();
    }
}

// Random bytes; sometimes a NULL pointer, sometimes over a kilobyte with no NUL.
struct Text {
    std::string bytes;
    bool null = false;
    const char *get() const { return null ? nullptr : bytes.c_str(); }
};

Text any_text(FuzzedDataProvider &in) {
    Text t;
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: t.null = true; break;
    case 1: t.bytes.assign(in.ConsumeIntegralInRange<std::size_t>(1024, 4096), static_cast<char>(in.ConsumeIntegralInRange(1, 255))); break;
    default: t.bytes = in.ConsumeRandomLengthString(64); break;
    }
    return t;
}

int g_messages = 0;
void count_message(const char *, void *) { ++g_messages; }

// A symbology: a known name in any spelling, or random bytes.
Text any_symbology(FuzzedDataProvider &in) {
    if (in.ConsumeBool()) return any_text(in);
    Text t;
    t.bytes = in.PickValueInArray({"EAN-13", "ean8", "UPC-A", "UPC-E", "CODE128", "CODE128C", "GS1-128", "Code 39",
                                   "CODE39C", "CODE93", "CODABAR", "I2OF5", "POSTNET", "QR", "DATAMATRIX", "PDF417"});
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    World &w = world();
    FuzzedDataProvider in(data, size);
    for (int port = 1; port <= 4; ++port) QB_PortSetDevice(port, w.devices[0].c_str());
    // A printer handle of this input's own, one it closed, and none.
    QB_Printer *handle = nullptr, *closed = nullptr;
    const auto some_handle = [&] { return in.PickValueInArray({handle, closed, static_cast<QB_Printer *>(nullptr)}); };

    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        const int a = any_int(in), b = any_int(in), c = any_int(in), d = any_int(in);
        switch (in.ConsumeIntegralInRange(0, 33)) {
        case 0: {
            const int port = any_int(in);
            const bool restore = in.ConsumeBool();
            QB_PortSetDevice(port, restore ? nullptr : w.devices[in.ConsumeIntegralInRange<std::size_t>(0, w.devices.size() - 1)].c_str());
            if (restore) QB_PortSetDevice(port, w.devices[0].c_str());  // never a default device
            break;
        }
        case 1: QB_PortOpen(a, b); break;
        case 2: QB_PortClose(); break;
        case 3: QB_GetLastError(); QB_GetLastErrorCode(); break;
        case 4: QB_SetPrinterComSpeed(a); break;
        case 5: QB_SetPrinterComDots(a); break;
        case 6: QB_SetDarkness(a); break;
        case 7: QB_SetPrintSpeed(a); break;
        case 8: QB_SetPrintXY(a, b); break;
        case 9: QB_SetPrintFeedDim(a); break;
        case 10: QB_SetPaperSize(a, b, c, d); break;
        case 11: QB_SetClear(); break;
        case 12: QB_SetInitialize(a, b, c); break;
        case 13: QB_SetPrintBack(a); break;
        case 14: QB_PrintLine(a, b, c, d); break;
        case 15: QB_PrintBox(a, b, c, d, any_int(in)); break;
        case 16: QB_PrintCharacter(a, b, c, d, any_int(in), any_int(in), any_int(in), any_text(in).get()); break;
        case 17: QB_PrintBarcode(a, b, c, d, any_int(in), any_int(in), any_int(in), any_int(in), any_text(in).get()); break;
        case 18: QB_Print(a); break;
        case 19: QB_PrintChineseStr(a, b, c, d, any_int(in), any_int(in), any_text(in).get()); break;
        case 20: {
            const std::size_t pick = in.ConsumeIntegralInRange<std::size_t>(0, w.pictures.size());
            const Text name = any_text(in);
            QB_DownPicture(pick == w.pictures.size() ? nullptr : w.pictures[pick].c_str(), name.get());
            break;
        }
        case 21: QB_PrintMemGraphics(a, b, any_text(in).get()); break;
        case 22: QB_DeleteMemGraphics(any_text(in).get()); break;
        case 23: QB_SetMessageHandler(in.ConsumeBool() ? count_message : nullptr, nullptr); break;
        case 24: QB_SendCommand(any_text(in).get()); break;
        case 25: {
            const Text t = any_text(in);
            QB_SendBytes(t.get(), t.null ? in.ConsumeIntegralInRange<std::size_t>(0, 1) : t.bytes.size());
            break;
        }
        case 26: QB_GetLastErrorMessage(); QB_GetVersion(); break;
        case 27:  // only routes of the world: never a default or a random device
            if (!handle) handle = QB_PrinterOpen(w.devices[in.ConsumeIntegralInRange<std::size_t>(0, w.devices.size() - 1)].c_str(), a);
            break;
        case 28: {
            QB_Printer *p = some_handle();
            QB_PrinterClose(p);
            if (p && p == handle) closed = handle, handle = nullptr;
            break;
        }
        case 29: {
            QB_Printer *p = some_handle();
            QB_PrinterPrintCharacter(p, a, b, c, d, any_int(in), any_int(in), any_int(in), any_text(in).get());
            QB_PrinterSendCommand(p, any_text(in).get());
            QB_PrinterGetLastErrorCode(p);
            QB_PrinterGetLastErrorMessage(p);
            break;
        }
        case 30:
            QB_PrinterStatus(some_handle(), in.ConsumeIntegralInRange(-1, 3));
            QB_GetPrinterStatus(in.ConsumeIntegralInRange(-1, 3));
            break;
        case 31: {
            const Text symbology = any_symbology(in);
            QB_PrinterPrintBarcodeByName(some_handle(), a, b, c, symbology.get(), d, any_int(in), any_int(in), any_int(in),
                                         any_text(in).get());
            QB_PrintBarcodeByName(a, b, c, symbology.get(), d, any_int(in), any_int(in), any_int(in), any_text(in).get());
            break;
        }
        case 32: {
            const Text symbology = any_symbology(in);
            QB_Print2DBarcode(a, b, symbology.get(), c, d, any_int(in), any_int(in), any_text(in).get());
            break;
        }
        default: w.drain(); break;
        }
    }
    QB_PortClose();
    if (handle) QB_PrinterClose(handle);
    QB_SetMessageHandler(nullptr, nullptr);
    w.drain();
    (void)!truncate(w.devices[0].c_str(), 0);
    if (open_fds() != w.baseline_fds) {
        std::fprintf(stderr, "a descriptor was left open: %d, expected %d\n", open_fds(), w.baseline_fds);
        DIR *d = opendir("/proc/self/fd");
        while (dirent *e = readdir(d)) {
            char target[512] = {};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0) std::fprintf(stderr, "  %s -> %s\n", e->d_name, target);
        }
        closedir(d);
        abort();
    }
    return 0;
}
