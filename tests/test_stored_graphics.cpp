// SPDX-License-Identifier: MIT
// Storing a picture file in the printer: real files, real ports.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <functional>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "connection/connection.h"
#include "quillbar.h"
#include "support.h"

namespace {

using qbtest::Pty;
using qbtest::TempDir;

// Records every stage QB_DownPicture shows. It also calls back into the
// library, as a real dialog might.
struct Recorder {
    std::vector<std::string> messages;
    std::function<void(const std::string &)> on_message;

    static void handler(const char *text, void *context) {
        auto *self = static_cast<Recorder *>(context);
        self->messages.emplace_back(text);
        QB_GetLastError();
        if (self->on_message) self->on_message(text);
    }
};

class DownPicture : public testing::Test {
protected:
    void SetUp() override {
        capture_ = dir_.file("printer.epl");
        qbtest::open_port_on(1, capture_);
        QB_SetMessageHandler(&Recorder::handler, &recorder_);
        QB_SetDarkness(-5);  // a known last error, which QB_DownPicture must leave alone
    }
    void TearDown() override {
        QB_SetMessageHandler(nullptr, nullptr);
        QB_PortClose();
        QB_PortSetDevice(1, nullptr);
    }
    std::string wire() const { return qbtest::read_file(capture_); }
    static std::string picture(std::size_t size) {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 37 + 10) % 256);
        return data;
    }

    TempDir dir_;
    std::string capture_;
    Recorder recorder_;
};

TEST_F(DownPicture, StoresTheFileBareAfterGkAndGmAndShowsEachStage) {
    std::string logo = picture(1000);
    logo[0] = '\x0A';  // a PCX file starts so
    logo[1] = 'P';
    logo[2] = 'C';
    logo[3] = '\0';
    const std::string path = dir_.file("logo.pcx", logo);
    ASSERT_EQ(QB_DownPicture(path.c_str(), "LOGO"), 0);
    EXPECT_EQ(wire(), "GK\"LOGO\"\nGM\"LOGO\"1000\n" + logo);
    const std::vector<std::string> shown = {path, "filelengh:0--1000", "\nPC", "GK\"LOGO\"\n", "GM\"LOGO\"1000\n"};
    EXPECT_EQ(recorder_.messages, shown);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PARAMETER);
}

TEST_F(DownPicture, SendsFilesOfEverySizeAndContentWhole) {
    std::string extremes(4096, '\0');
    for (std::size_t i = 0; i < extremes.size(); ++i) extremes[i] = (i % 3) ? '\xFF' : '\0';
    const struct {
        const char *name;
        std::string data;
    } rows[] = {
        {"empty", ""},
        {"zeros_and_ffs", extremes},
        {"quotes_and_newlines", "\"\n\"\r\n\"\""},
        {"five_megabytes", picture(5 * 1024 * 1024)},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(::truncate(capture_.c_str(), 0), 0);
        recorder_.messages.clear();
        const std::string path = dir_.file(row.name, row.data);
        ASSERT_EQ(QB_DownPicture(path.c_str(), "P1"), 0);
        const std::string size = std::to_string(row.data.size());
        EXPECT_TRUE(wire() == "GK\"P1\"\nGM\"P1\"" + size + "\n" + row.data);
        ASSERT_EQ(recorder_.messages.size(), 5u);
        EXPECT_EQ(recorder_.messages[1], "filelengh:0--" + size);
    }
}

TEST_F(DownPicture, TwoCallsInARowBothSucceedAndLeaveNothingOpen) {
    const std::string path = dir_.file("logo.pcx", picture(300));
    const int fds = qbtest::open_fd_count();
    EXPECT_EQ(QB_DownPicture(path.c_str(), "A"), 0);
    EXPECT_EQ(QB_DownPicture(path.c_str(), "B"), 0);
    EXPECT_EQ(qbtest::open_fd_count(), fds);
    const std::string data = picture(300);
    EXPECT_EQ(wire(), "GK\"A\"\nGM\"A\"300\n" + data + "GK\"B\"\nGM\"B\"300\n" + data);
}

TEST_F(DownPicture, WithoutAHandlerEveryStageRunsAtOnce) {
    QB_SetMessageHandler(nullptr, nullptr);
    const std::string path = dir_.file("logo.pcx", "PCX");
    EXPECT_EQ(QB_DownPicture(path.c_str(), "L"), 0);
    EXPECT_EQ(wire(), "GK\"L\"\nGM\"L\"3\nPCX");
    EXPECT_TRUE(recorder_.messages.empty());
}

TEST_F(DownPicture, FilesItCannotTakeSendNothingAndKeepTheError) {
    const std::string locked = dir_.file("locked.pcx", "data");
    // Another process holds the file.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = ::open(locked.c_str(), O_RDONLY);
        flock(fd, LOCK_EX);
        char c = 0;
        (void)!write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);

    const struct {
        const char *name;
        std::string path;
        const char *graphic;
        std::size_t shown;  // stages shown before it gave up
        std::string says;   // the message, though the code stays
    } rows[] = {
        {"missing", dir_.path() + "/missing.pcx", "M", 1,
         "cannot read the picture " + dir_.path() + "/missing.pcx: No such file or directory"},
        {"locked", locked, "M", 1, "the picture " + locked + " is in use by another program"},
        {"directory", dir_.path(), "M", 1, "the picture " + dir_.path() + " is not a plain file"},
        {"null_path", "", "M", 0, "the picture's path is NULL"},
        {"null_name", locked, nullptr, 0, "the graphic name is NULL"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        recorder_.messages.clear();
        const char *path = std::string(row.name) == "null_path" ? nullptr : row.path.c_str();
        EXPECT_EQ(QB_DownPicture(path, row.graphic), -1);
        EXPECT_EQ(recorder_.messages.size(), row.shown);
        EXPECT_EQ(QB_GetLastErrorCode(), ERR_PARAMETER);
        EXPECT_EQ(QB_GetLastErrorMessage(), row.says);
    }
    EXPECT_EQ(wire(), "");
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    // Once the holder is gone, the file goes through.
    EXPECT_EQ(QB_DownPicture(locked.c_str(), "M"), 0);
}

// Threads storing the same logo at the same time each get it whole: the
// file is shared by readers, refused only to a writer's lock.
TEST_F(DownPicture, ThreadsStoringTheSameFileAllSucceed) {
    const std::string path = dir_.file("shared.pcx", "SHARED-PCX");
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const std::string out = dir_.file("thread" + std::to_string(t) + ".epl");
            QB_Printer *p = QB_PrinterOpen(out.c_str(), 0);
            for (int i = 0; i < 300; ++i)
                if (!p || QB_PrinterDownPicture(p, path.c_str(), "S") != 0) ++failed;
            QB_PrinterClose(p);
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failed.load(), 0);
}

// Read access is all it needs; no read access, no picture. Checked as an
// unprivileged user (root reads everything).
TEST_F(DownPicture, ReadOnlyFilesAreSentAndUnreadableOnesRefused) {
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    const std::string read_only = dir_.file("read_only.pcx", "RO-DATA");
    const std::string unreadable = dir_.file("unreadable.pcx", "SECRET");
    ASSERT_EQ(chmod(read_only.c_str(), 0444), 0);
    ASSERT_EQ(chmod(unreadable.c_str(), 0000), 0);
    static std::string ro, none;
    ro = read_only;
    none = unreadable;
    const int status = qbtest::in_child([] {
        if (!qbtest::drop_privileges()) return 2;
        if (QB_DownPicture(ro.c_str(), "RO") != 0) return 3;
        if (QB_DownPicture(none.c_str(), "NO") != -1) return 4;
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(wire(), "GK\"RO\"\nGM\"RO\"7\nRO-DATA");
}

// The port fails at the first, second or third write: the call stops there,
// returns -1, and leaves the last error alone. The printer goes away while
// the stage before that write is shown.
TEST(DownPictureOnFailingPort, StopsAtTheWriteThatFails) {
    TempDir dir;
    const std::string path = dir.file("logo.pcx", "PCXDATA");
    const struct {
        const char *hang_up_after;  // the stage shown before the failing write
        const char *sent;           // what reached the printer before it went
        std::size_t shown;
    } rows[] = {
        {"PCXDATA", "", 3},
        {"GK\"LOGO\"\n", "GK\"LOGO\"\n", 5},
        {"GM\"LOGO\"7\n", "GK\"LOGO\"\n", 5},  // shown before the line and its data go together
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.hang_up_after);
        Pty pty;
        qbtest::open_port_on(3, pty.slave());
        std::string sent;
        Recorder recorder;
        recorder.on_message = [&](const std::string &text) {
            if (text != row.hang_up_after) return;
            sent = pty.drain(std::chrono::milliseconds(20));
            pty.hang_up();
        };
        QB_SetMessageHandler(&Recorder::handler, &recorder);
        QB_SetPrintSpeed(0);  // last error 1001
        EXPECT_EQ(QB_DownPicture(path.c_str(), "LOGO"), -1);
        EXPECT_EQ(sent, row.sent);
        EXPECT_EQ(recorder.messages.size(), row.shown);
        EXPECT_EQ(QB_GetLastErrorCode(), ERR_PARAMETER);
        EXPECT_NE(std::string(QB_GetLastErrorMessage()).find(pty.slave()), std::string::npos) << QB_GetLastErrorMessage();
        QB_SetMessageHandler(nullptr, nullptr);
        QB_PortClose();
    }
}

TEST(DeleteMemGraphics, NoSecondWriteWhenTheFirstFails) {
    TempDir dir;
    const std::string capture = dir.file("printer.epl");
    qbtest::open_port_on(2, capture);
    quillbar::fail_nth_write(1);
    EXPECT_EQ(QB_DeleteMemGraphics("LOGO"), -1);
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PORT_WRITE);
    quillbar::fail_nth_write(2);
    EXPECT_EQ(QB_DeleteMemGraphics("SEAL"), -1);
    EXPECT_EQ(QB_Print(1), 0);
    quillbar::fail_nth_write(0);
    QB_PortClose();
    EXPECT_EQ(qbtest::read_file(capture), "GK\"SEAL\"\nP1\n");
}

}  // namespace

namespace {

// Only a regular file is read, and its type is checked before it is opened:
// a writer blocked on a FIFO is not released, a device is not read forever.
// A name that would break its line is refused before anything is sent.
TEST_F(DownPicture, RefusesWhatIsNotARegularFileOrANameThatBreaksItsLine) {
    const std::string fifo = dir_.path() + "/fifo.pcx";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::fflush(nullptr);
    const pid_t writer = fork();
    if (writer == 0) {
        const int fd = ::open(fifo.c_str(), O_WRONLY);  // blocks until someone reads
        _exit(fd >= 0 ? 0 : 1);
    }
    const std::string logo = dir_.file("logo.pcx", "PCXDATA");
    const struct {
        const char *path;
        const char *name;
        const char *says;
    } rows[] = {{fifo.c_str(), "LOGO", "is not a plain file"},
                {"/dev/zero", "LOGO", "is not a plain file"},
                {logo.c_str(), "LO\nGO", "the graphic name holds a line end"},
                {logo.c_str(), "LOGO\r", "the graphic name holds a line end"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(QB_DownPicture(row.path, row.name), -1);
        EXPECT_NE(std::string(QB_GetLastErrorMessage()).find(row.says), std::string::npos) << QB_GetLastErrorMessage();
    }
    EXPECT_EQ(wire(), "");
    EXPECT_EQ(QB_GetLastErrorCode(), ERR_PARAMETER);  // as it was
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int status = 0;
    EXPECT_EQ(waitpid(writer, &status, WNOHANG), 0) << "the FIFO's writer was released";
    kill(writer, SIGKILL);
    waitpid(writer, &status, 0);
}

}  // namespace
