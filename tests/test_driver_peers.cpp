// SPDX-License-Identifier: MIT
// Drivers written by others, each fed a known picture, with the virtual
// printer at the end of the wire: what it draws must be the picture. CUPS's
// own label filter (rastertolabel, with the EPL2 PPD that ppdc compiles
// from CUPS's sample driver file) runs inside a print server of the test's
// own; LPrint runs as a server of its own, in a folder of the test's own.
#include <cups/raster.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "epl2_printer.h"
#include "print_server.h"
#include "support.h"

namespace {

using qbtest::ListeningPrinter;
using qbtest::PrintServer;
using quillbar::preview::Bitmap;

constexpr int kWidth = 812, kHeight = 1218;  // a 4 x 6 inch page at 203 dpi

// The known picture: a frame on all four edges (inked to the last row and
// column), a diagonal band, blocks and thin lines at odd places.
bool inked(int x, int y) {
    if (x < 6 || y < 6 || x >= kWidth - 6 || y >= kHeight - 6) return true;
    if (std::abs((x - 40) * kHeight / kWidth - (y - 40)) < 12) return true;
    if (x > 100 && x < 300 && y > 900 && y < 1100 && ((x / 20 + y / 20) % 2 == 0)) return true;
    if (y % 97 == 0 && x > 400) return true;
    return x % 131 == 0 && y > 300 && y < 700;
}

int run(const std::string &command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The picture as one page of CUPS raster (or PWG raster, as IPP printers
// take it), written through libcups.
bool write_raster(const std::string &path, cups_mode_t mode = CUPS_RASTER_WRITE) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    cups_raster_t *raster = cupsRasterOpen(fd, mode);
    cups_page_header2_t h{};
    h.HWResolution[0] = h.HWResolution[1] = 203;
    h.PageSize[0] = 288;
    h.PageSize[1] = 432;
    h.ImagingBoundingBox[2] = 288;
    h.ImagingBoundingBox[3] = 432;
    h.NumCopies = 1;
    h.cupsWidth = kWidth;
    h.cupsHeight = kHeight;
    h.cupsBitsPerColor = h.cupsBitsPerPixel = 1;
    h.cupsBytesPerLine = (kWidth + 7) / 8;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_K;  // a 1 bit is black
    h.cupsNumColors = 1;
    std::snprintf(h.MediaType, sizeof h.MediaType, "labels");
    std::snprintf(h.cupsPageSizeName, sizeof h.cupsPageSizeName, "na_index-4x6_4x6in");
    bool ok = raster && cupsRasterWriteHeader2(raster, &h);
    std::vector<unsigned char> row(h.cupsBytesPerLine);
    for (int y = 0; ok && y < kHeight; ++y) {
        std::fill(row.begin(), row.end(), 0);
        for (int x = 0; x < kWidth; ++x)
            if (inked(x, y)) row[static_cast<std::size_t>(x / 8)] |= static_cast<unsigned char>(0x80 >> (x % 8));
        ok = cupsRasterWritePixels(raster, row.data(), h.cupsBytesPerLine) == h.cupsBytesPerLine;
    }
    if (raster) cupsRasterClose(raster);
    close(fd);
    return ok;
}

// The virtual printer's picture of what came over the wire.
bool render(const std::string &stream, Bitmap &out, std::string &problems) {
    quillbar::preview::VirtualPrinter printer(quillbar::preview::VirtualPrinter::Options{0});
    printer.feed(stream.data(), stream.size());
    printer.finish();
    for (const auto &d : printer.diagnostics()) problems += d.message + "\n";
    std::vector<quillbar::preview::PrintedLabel> labels = printer.take_labels();
    if (labels.size() != 1) return false;
    out = std::move(labels[0].image);
    return true;
}

// Intersection over union of the black dots of the picture and the label.
double iou(const Bitmap &label) {
    long both = 0, either = 0;
    for (int y = 0; y < std::max(kHeight, static_cast<int>(label.height())); ++y)
        for (int x = 0; x < std::max(kWidth, static_cast<int>(label.width())); ++x) {
            const bool a = x < kWidth && y < kHeight && inked(x, y), b = label.black(x, y);
            both += a && b;
            either += a || b;
        }
    return either ? static_cast<double>(both) / static_cast<double>(either) : 0;
}

// The job arrives, and the virtual printer's picture of it is the picture
// (the driver's log shown when it does not come).
void expect_the_picture(ListeningPrinter &printer, const std::string &driver_log) {
    ASSERT_TRUE(printer.wait_for_jobs(1, 60) && printer.wait_for_lines("label ", 1, 5)) << qbtest::read_file(driver_log);
    Bitmap label;
    std::string problems;
    ASSERT_TRUE(render(printer.raw(), label, problems)) << problems;
    const double overlap = iou(label);
    std::printf("IoU %.4f\n", overlap);
    EXPECT_GE(overlap, 0.99) << problems;
}

TEST(DriverPeers, CupsLabelFilterPageComesBackAsThePicture) {
    if (access("/usr/sbin/cupsd", X_OK) != 0 || access("/usr/lib/cups/filter/rastertolabel", X_OK) != 0 ||
        access("/usr/bin/ppdc", X_OK) != 0 || access("/usr/share/cups/drv/sample.drv", R_OK) != 0)
        GTEST_SKIP() << "needs cupsd, rastertolabel, ppdc and sample.drv (Debian: cups, cups-ppdc, cups-common)";
    qbtest::TempDir printer_dir, server_dir, work;
    ListeningPrinter printer(QUILLBAR_PREVIEW_TOOL, printer_dir.path());
    ASSERT_GT(printer.port(), 0);
    PrintServer server(server_dir.path());
    ASSERT_TRUE(server.ok()) << qbtest::read_file(server_dir.path() + "/log/error_log");
    ASSERT_EQ(run("ppdc -d " + work.path() + " /usr/share/cups/drv/sample.drv"), 0);
    ASSERT_EQ(run("/usr/sbin/lpadmin -h " + server.address() + " -p epl2 -E -v socket://127.0.0.1:" +
                  std::to_string(printer.port()) + " -P " + work.path() + "/zebraep2.ppd -o PageSize=w288h432"),
              0);
    const std::string page = work.path() + "/page.ras";
    ASSERT_TRUE(write_raster(page));
    ASSERT_EQ(run("lp -h " + server.address() + " -d epl2 -o document-format=application/vnd.cups-raster " + page +
                  " >/dev/null"),
              0);
    expect_the_picture(printer, server_dir.path() + "/log/error_log");
}

// Runs a program as nobody (when root) with the environment given, and
// waits for it; its exit status, -1 when it did not exit in time.
int run_as_nobody(std::vector<std::string> args, const std::vector<std::string> &env, pid_t *started = nullptr) {
    const pid_t pid = fork();
    if (pid == 0) {
        for (const std::string &e : env) putenv(strdup(e.c_str()));
        if (!qbtest::drop_privileges()) _exit(126);
        (void)!freopen("/dev/null", "w", stdout);
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (started) {
        *started = pid;
        return 0;
    }
    int status = 0;
    for (int i = 0; i < 600; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

TEST(DriverPeers, LprintEpl2DriverPageComesBackAsThePicture) {
    if (access("/usr/bin/lprint", X_OK) != 0) GTEST_SKIP() << "needs LPrint (Debian: lprint)";
    qbtest::TempDir printer_dir, work;
    ListeningPrinter printer(QUILLBAR_PREVIEW_TOOL, printer_dir.path());
    ASSERT_GT(printer.port(), 0);
    // LPrint keeps its state, spool and socket in the test's folder, as
    // nobody: never the machine's own.
    chmod(work.path().c_str(), 0777);
    const std::vector<std::string> env = {"HOME=" + work.path(), "XDG_DATA_HOME=" + work.path(), "TMPDIR=" + work.path()};
    const std::string port = std::to_string(qbtest::free_port()), server = "ipp://localhost:" + port;
    pid_t lprint = -1;
    run_as_nobody({"lprint", "server", "-o", "server-port=" + port, "-o", "listen-hostname=localhost", "-o",
                   "spool-directory=" + work.path(), "-o", "log-file=" + work.path() + "/log", "-o",
                   "server-options=no-web-interface,no-tls"},
                  env, &lprint);
    struct Stop {
        pid_t pid;
        ~Stop() {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    } stop{lprint};
    int added = -1;
    for (int i = 0; i < 50 && added != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        added = run_as_nobody({"lprint", "add", "-u", server, "-d", "peer", "-v",
                               "socket://127.0.0.1:" + std::to_string(printer.port()), "-m", "epl2_4inch-203dpi-dt"},
                              env);
    }
    ASSERT_EQ(added, 0) << qbtest::read_file(work.path() + "/log");
    const std::string page = work.path() + "/page.pwg";
    ASSERT_TRUE(write_raster(page, CUPS_RASTER_WRITE_PWG));
    chmod(page.c_str(), 0644);
    ASSERT_EQ(run_as_nobody({"lprint", "submit", "-u", server + "/ipp/print/peer", "-o", "media=na_index-4x6_4x6in",
                             "-o", "print-scaling=none", page},
                            env),
              0)
        << qbtest::read_file(work.path() + "/log");
    expect_the_picture(printer, work.path() + "/log");
}

}  // namespace
