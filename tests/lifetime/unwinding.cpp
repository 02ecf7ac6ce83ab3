// SPDX-License-Identifier: MIT
// Unwinding through the shipped libquillbar.so, as an application meets it:
// this program links the shared library (never the test archive) and uses
// the system's C++ runtime and unwinder, so a thread cancelled in a write, a
// handler that throws, and a handler that ends its thread all cross the
// library's frames the way they do in the field. Each row runs in a forked
// child: an abort fails its row instead of ending the program.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "quillbar.h"

namespace {

// A pseudo-terminal that nobody reads: a write of a megabyte waits on it.
struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);
    }
    ~Pty() { ::close(master); }
};

enum class Route { flat, handle };
enum class Ending { cancel, handler_throws, handler_exits };

struct Row {
    Route route;
    Ending ending;
    const char *what;
};

QB_Printer *g_printer = nullptr;
std::string g_picture;

void throwing_handler(const char *, void *) { throw std::runtime_error("the application's handler failed"); }
void exiting_handler(const char *, void *) { pthread_exit(reinterpret_cast<void *>(7)); }

// The call a row's thread makes: a write stuck on the terminal, or a
// picture store whose handler ends it.
void *call(void *arg) {
    const Row &row = *static_cast<const Row *>(arg);
    if (row.ending == Ending::cancel) {
        static const std::string text(1 << 20, 'x');
        const int rc = row.route == Route::flat ? QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, text.c_str())
                                                : QB_PrinterPrintCharacter(g_printer, 0, 0, 0, 1, 1, 1, 0, text.c_str());
        return reinterpret_cast<void *>(static_cast<long>(rc));
    }
    try {
        const int rc = row.route == Route::flat ? QB_DownPicture(g_picture.c_str(), "LOGO")
                                                : QB_PrinterDownPicture(g_printer, g_picture.c_str(), "LOGO");
        return reinterpret_cast<void *>(static_cast<long>(rc));
    } catch (const std::runtime_error &) {
        return reinterpret_cast<void *>(42L);  // the exception reached its caller
    }
}

// In the child: sets the row up, ends its thread as the row says, then
// proves the printer's lock was released by printing on the same printer.
int run_row(const Row &row, const std::string &dir) {
    Pty pty;
    g_picture = dir + "/logo.pcx";
    FILE *f = std::fopen(g_picture.c_str(), "wb");
    std::fputs("PCXDATA", f);
    std::fclose(f);
    const std::string after = dir + "/after.epl";
    std::fclose(std::fopen(after.c_str(), "wb"));
    const std::string device = row.ending == Ending::cancel ? pty.slave : dir + "/capture.epl";
    if (row.ending != Ending::cancel) std::fclose(std::fopen(device.c_str(), "wb"));

    QB_MessageHandler handler = row.ending == Ending::handler_throws ? throwing_handler : exiting_handler;
    if (row.route == Route::flat) {
        if (QB_PortSetDevice(1, device.c_str()) != 0 || QB_PortOpen(1, 9600) != 0) return 10;
        if (row.ending != Ending::cancel) QB_SetMessageHandler(handler, nullptr);
    } else {
        g_printer = QB_PrinterOpen(device.c_str(), 0);
        if (!g_printer) return 10;
        if (row.ending != Ending::cancel) QB_PrinterSetMessageHandler(g_printer, handler, nullptr);
    }

    pthread_t thread;
    pthread_create(&thread, nullptr, call, const_cast<Row *>(&row));
    if (row.ending == Ending::cancel) {
        usleep(300 * 1000);  // the write is waiting on the terminal now
        pthread_cancel(thread);
    }
    void *result = nullptr;
    pthread_join(thread, &result);
    switch (row.ending) {
    case Ending::cancel:
        if (result != PTHREAD_CANCELED) return 11;
        break;
    case Ending::handler_exits:
        if (result != reinterpret_cast<void *>(7)) return 12;
        break;
    case Ending::handler_throws:
        // The library turns it into a failed call, or lets it reach the caller.
        if (result != reinterpret_cast<void *>(-1L) && result != reinterpret_cast<void *>(42L)) return 13;
        break;
    }

    // The printer's lock was released: the same printer takes a call from
    // this thread (a file; the terminal is full), is closed, and the next
    // port prints.
    const bool on_file = row.ending != Ending::cancel;
    if (row.route == Route::flat) {
        QB_SetMessageHandler(nullptr, nullptr);
        if (on_file && QB_SetClear() != 0) return 14;
        if (QB_PortClose() != 0) return 14;
        if (QB_PortSetDevice(1, after.c_str()) != 0 || QB_PortOpen(1, 9600) != 0 || QB_Print(1) != 0 ||
            QB_PortClose() != 0)
            return 15;
    } else {
        if (QB_PrinterSetMessageHandler(g_printer, nullptr, nullptr) != 0) return 14;
        if (on_file && QB_PrinterSetClear(g_printer) != 0) return 14;
        if (QB_PrinterClose(g_printer) != 0) return 14;
        QB_Printer *next = QB_PrinterOpen(after.c_str(), 0);
        if (!next || QB_PrinterPrint(next, 1) != 0 || QB_PrinterClose(next) != 0) return 15;
    }
    char buf[16] = {0};
    f = std::fopen(after.c_str(), "rb");
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    return std::string(buf, n) == "P1\n" ? 0 : 16;
}

TEST(ShippedLibrary, ThreadsEndingInsideACallLeaveTheProcessAndThePrinterWorking) {
    const Row rows[] = {
        {Route::flat, Ending::cancel, "pthread_cancel in a flat write"},
        {Route::handle, Ending::cancel, "pthread_cancel in a handle's write"},
        {Route::flat, Ending::handler_throws, "a C++ handler throws (flat)"},
        {Route::handle, Ending::handler_throws, "a C++ handler throws (handle)"},
        {Route::flat, Ending::handler_exits, "a handler calls pthread_exit (flat)"},
        {Route::handle, Ending::handler_exits, "a handler calls pthread_exit (handle)"},
    };
    for (std::size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].what);
        char dir[] = "/tmp/quillbar-unwind-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(20);
            _exit(run_row(rows[i], dir));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status)) << "the child died of signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
        }
        const std::string cleanup = std::string("rm -rf ") + dir;
        EXPECT_EQ(std::system(cleanup.c_str()), 0);
    }
}

}  // namespace
