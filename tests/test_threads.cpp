// SPDX-License-Identifier: MIT
// Awkward threads and processes: a last error read while others fail, a
// message handler that hands its text to another thread, a thread cancelled
// in a write, a close that ends another thread's write, a fork while a call
// is in progress.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quillbar.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;
using qbtest::Pty;
using qbtest::TempDir;

// Runs body in a forked child that is killed after limit: a deadlock or an
// abort fails the test instead of hanging or ending the test program.
// Returns the child's exit code, or -1 when it did not exit by itself.
int isolated(const std::function<int()> &body, unsigned limit_seconds = 10) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(limit_seconds);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Threads, LastErrorTextIsNeverTornOrChangedUnderTheReader) {
    QB_PortClose();
    const std::set<std::string> valid = {
        "1001--\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3",
        "2002--\xB9\xD8\xB1\xD5\xCD\xA8\xD1\xB6\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3",
    };
    std::atomic<bool> stop{false};
    std::atomic<long> wrong{0}, reads{0};
    const auto reader = [&](std::function<int()> failing) {
        while (!stop) {
            failing();
            const char *text = QB_GetLastError();
            const std::string first = text;
            const char *message = QB_GetLastErrorMessage();
            const std::string first_message = message;
            std::this_thread::yield();
            // Another thread's failures meanwhile change neither copy.
            if (!valid.count(first) || first != text || first_message != message || first_message.empty()) ++wrong;
            ++reads;
        }
    };
    std::thread a(reader, [] { return QB_SetDarkness(99); });
    std::thread b(reader, [] { return QB_PortClose(); });
    std::this_thread::sleep_for(1500ms);
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0) << "of " << reads.load() << " reads";
    EXPECT_GT(reads.load(), 1000);
}

// A failure no printer holds (an open that fails, a closed handle) is the
// calling thread's to read, whatever other threads fail meanwhile.
TEST(Threads, OpenReasonsAndClosedHandleMessagesAreTheCallingThreads) {
    constexpr int kThreads = 8;
    std::atomic<long> wrong{0}, reads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string device = "/nonexistent/quillbar-thread-" + std::to_string(t);
            for (int i = 0; i < 2500; ++i) {
                ++reads;
                if (t % 2 == 0) {
                    // An open that fails: its reason names this thread's device.
                    if (QB_PrinterOpen(device.c_str(), 0) != nullptr || QB_GetLastErrorCode() != QB_ERR_PORT_OPEN ||
                        std::string(QB_GetLastErrorMessage()).find(device) == std::string::npos)
                        ++wrong;
                } else {
                    // A handle used after close: 1001 and the handle's words,
                    // in both the code and the GB2312 text.
                    if (QB_PrinterSetClear(reinterpret_cast<QB_Printer *>(std::uintptr_t{1} << 40)) != -1 ||
                        QB_GetLastErrorCode() != QB_ERR_PARAMETER ||
                        std::string(QB_GetLastErrorMessage()).find("handle") == std::string::npos ||
                        std::string(QB_GetLastError()).compare(0, 6, "1001--") != 0)
                        ++wrong;
                }
            }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0) << "of " << reads.load() << " reads";
}

// The handler gives each stage to another thread, which calls the library,
// and waits for it: the lock is not held across the handler.
TEST(Threads, HandlerThatHandsItsTextToAnotherThreadDoesNotDeadlock) {
    TempDir dir;
    const std::string capture = dir.file("printer.epl");
    const std::string picture = dir.file("logo.pcx", "PCXDATA");
    EXPECT_EQ(isolated([&] {
                  if (QB_PortSetDevice(1, capture.c_str()) != 0 || QB_PortOpen(1, 9600) != 0) return 1;
                  QB_SetMessageHandler(
                      [](const char *, void *) {
                          std::async(std::launch::async, [] { return QB_SetClear(); }).get();
                      },
                      nullptr);
                  if (QB_DownPicture(picture.c_str(), "LOGO") != 0 || QB_PortClose() != 0) return 2;
                  // Five stages, five N lines; GM and its data stay together.
                  const std::string wire = qbtest::read_file(capture);
                  return wire == "N\nN\nN\nGK\"LOGO\"\nN\nN\nGM\"LOGO\"7\nPCXDATA" ? 0 : 3;
              }),
              0);
}

// A port that never drains, and a write of a megabyte stuck on it.
struct StuckWrite {
    Pty pty;
    std::string text = std::string(1 << 20, 'x');
    void open() { qbtest::open_port_on(3, pty.slave()); }
    int write() { return QB_PrintCharacter(0, 0, 0, 1, 1, 1, 0, text.c_str()); }
};

TEST(Threads, CancelledThreadLeavesTheLibraryUsable) {
    StuckWrite stuck;
    stuck.open();
    TempDir dir;
    const std::string capture = dir.file("after.epl");
    EXPECT_EQ(isolated([&] {
                  pthread_t writer;
                  pthread_create(
                      &writer, nullptr,
                      [](void *s) -> void * {
                          static_cast<StuckWrite *>(s)->write();
                          return nullptr;
                      },
                      &stuck);
                  std::this_thread::sleep_for(300ms);
                  pthread_cancel(writer);
                  void *result = nullptr;
                  pthread_join(writer, &result);
                  if (result != PTHREAD_CANCELED) return 1;
                  if (QB_PortSetDevice(1, capture.c_str()) != 0 || QB_PortOpen(1, 9600) != 0 || QB_Print(1) != 0 ||
                      QB_PortClose() != 0)
                      return 2;
                  return qbtest::read_file(capture) == "P1\n" ? 0 : 3;
              }),
              0);
    QB_PortClose();
}

TEST(Threads, CloseEndsAWriteThatATricklingReaderHolds) {
    StuckWrite stuck;
    stuck.open();
    std::atomic<bool> done{false};
    std::thread trickle([&] {  // 1 KB every half second
        char buf[1024];
        while (!done) {
            (void)!::read(stuck.pty.master(), buf, sizeof buf);
            std::this_thread::sleep_for(500ms);
        }
    });
    auto write = std::async(std::launch::async, [&] { return stuck.write(); });
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QB_PortClose(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ASSERT_EQ(write.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(write.get(), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), QB_ERR_PORT_WRITE);
    EXPECT_NE(std::string(QB_GetLastErrorMessage()).find("ended by closing the port"), std::string::npos);
    done = true;
    trickle.join();
}

// A handle's write ended by closing the handle: the 1002 it promises is
// the writing thread's to read, the handle being gone.
TEST(Threads, AWriteEndedByClosingItsHandleLeavesItsReasonReadable) {
    StuckWrite stuck;
    QB_Printer *p = QB_PrinterOpen(stuck.pty.slave().c_str(), 9600);
    ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
    auto write = std::async(std::launch::async, [&] {
        const int rc = QB_PrinterPrintCharacter(p, 0, 0, 0, 1, 1, 1, 0, stuck.text.c_str());
        return std::make_pair(rc, std::to_string(QB_GetLastErrorCode()) + " " + QB_GetLastErrorMessage());
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(QB_PrinterClose(p), 0);
    const auto [rc, reason] = write.get();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(reason.compare(0, 5, "1002 "), 0) << reason;
    EXPECT_NE(reason.find("ended by closing"), std::string::npos) << reason;
}

TEST(Threads, ChildForkedDuringACallCanUseTheLibrary) {
    StuckWrite stuck;
    stuck.open();
    TempDir dir;
    const std::string capture = dir.file("child.epl");
    auto write = std::async(std::launch::async, [&] { return stuck.write(); });
    std::this_thread::sleep_for(200ms);  // the writer holds the lock now
    EXPECT_EQ(isolated([&] {
                  if (QB_PortSetDevice(2, capture.c_str()) != 0 || QB_PortOpen(2, 9600) != 0 || QB_Print(2) != 0 ||
                      QB_PortClose() != 0)
                      return 1;
                  return qbtest::read_file(capture) == "P2\n" ? 0 : 2;
              }),
              0);
    QB_PortClose();
    EXPECT_EQ(write.get(), -1);
}

// A child forked while another thread is inside a message handler: that
// thread does not exist there, so nothing waits for it to leave.
TEST(Threads, ChildForkedWhileAHandlerRunsCanReplaceItAndClose) {
    TempDir dir;
    const std::string picture = dir.file("logo.pcx", "PCXDATA");
    const std::string flat = dir.file("flat.epl"), handle = dir.file("handle.epl");
    qbtest::open_port_on(1, flat);
    QB_Printer *p = QB_PrinterOpen(handle.c_str(), 0);
    ASSERT_NE(p, nullptr) << QB_GetLastErrorMessage();
    static std::atomic<int> inside{0};
    static std::atomic<bool> release{false};
    const QB_MessageHandler held = [](const char *, void *) {
        ++inside;
        while (!release) std::this_thread::sleep_for(1ms);
    };
    QB_SetMessageHandler(held, nullptr);
    QB_PrinterSetMessageHandler(p, held, nullptr);
    auto flat_store = std::async(std::launch::async, [&] { return QB_DownPicture(picture.c_str(), "A"); });
    auto handle_store = std::async(std::launch::async, [&] { return QB_PrinterDownPicture(p, picture.c_str(), "B"); });
    while (inside < 2) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(isolated([&] {
                  if (QB_SetMessageHandler(nullptr, nullptr) != 0) return 1;
                  if (QB_PrinterSetMessageHandler(p, nullptr, nullptr) != 0) return 2;
                  if (QB_PrinterClose(p) != 0) return 3;
                  return QB_PortClose() == 0 ? 0 : 4;
              }),
              0);
    release = true;
    EXPECT_EQ(flat_store.get(), 0);
    EXPECT_EQ(handle_store.get(), 0);
    QB_SetMessageHandler(nullptr, nullptr);
    EXPECT_EQ(QB_PrinterClose(p), 0);
    QB_PortClose();
}

}  // namespace
