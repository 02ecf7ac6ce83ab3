// SPDX-License-Identifier: MIT
#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "quillbar.h"

namespace qbtest {

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    slave_ = ptsname(master_);
    keeper_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (keeper_ < 0) throw std::runtime_error("cannot open " + slave_);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
    if (master_ >= 0) ::close(master_);
    if (keeper_ >= 0) ::close(keeper_);
}

std::string Pty::drain(std::chrono::milliseconds quiet) {
    std::string out;
    char buf[65536];
    pollfd pfd{master_, POLLIN, 0};
    while (::poll(&pfd, 1, static_cast<int>(quiet.count())) > 0) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string Pty::read_exact(std::size_t n, std::chrono::milliseconds deadline) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + deadline;
    char buf[65536];
    pollfd pfd{master_, POLLIN, 0};
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
        if (::poll(&pfd, 1, 50) <= 0) continue;
        const ssize_t got = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
        if (got > 0) out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

void Pty::hang_up() {
    ::close(master_);
    master_ = -1;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/quillbar-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string &name, const std::string &content) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int open_fd_count() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

int in_child(int (*body)()) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool drop_privileges() {
    if (geteuid() != 0) return true;
    const uid_t nobody = 65534;
    return setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0 && geteuid() == nobody;
}

std::string zbar_decode(const std::string &png) {
    // EAN/UPC add-ons are read too: zbar gives one a line of its own, which
    // comes after its main symbol here ("12345670 12").
    FILE *p = popen(("zbarimg -q --raw -Sean2.enable=1 -Sean5.enable=1 '" + png + "' 2>/dev/null").c_str(), "r");
    std::string out;
    char buf[512];
    while (p && std::fgets(buf, sizeof buf, p)) out += buf;
    if (p) pclose(p);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    const std::size_t lf = out.find('\n');
    if (lf != std::string::npos && out.find('\n', lf + 1) == std::string::npos) {
        const std::string first = out.substr(0, lf), second = out.substr(lf + 1);
        const auto addon = [](const std::string &s) {
            return (s.size() == 2 || s.size() == 5) && s.find_first_not_of("0123456789") == std::string::npos;
        };
        if (addon(first) && !addon(second)) return second + " " + first;
        if (addon(second) && !addon(first)) return first + " " + second;
    }
    return out;
}

std::string zxing_decode(const std::string &png) {
    // Debian's python3-zxing-cpp, for the codes zbar does not read (Data
    // Matrix, PDF417, MaxiCode, Aztec).
    // Its Data Matrix finder misses a small symbol on a large page: the
    // symbol is cut out with a margin first. An inverse symbol (light
    // modules on dark) is read inverted.
    const std::string script =
        "import sys, zxingcpp\nfrom PIL import Image, ImageOps, ImageChops\n"
        "im = Image.open(sys.argv[1]).convert('L')\nbox = ImageChops.invert(im).getbbox()\n"
        "for cut in ([im.crop(box), ImageOps.invert(im.crop(box))] if box else []):\n"
        "    r = zxingcpp.read_barcode(ImageOps.expand(cut, border=40, fill=255))\n"
        "    if r and r.valid:\n        sys.stdout.write(r.text)\n        break\n";
    FILE *p = popen(("/usr/bin/python3 -c \"" + script + "\" '" + png + "' 2>/dev/null").c_str(), "r");
    std::string out;
    char buf[512];
    while (p && std::fgets(buf, sizeof buf, p)) out += buf;
    if (p) pclose(p);
    return out;
}

void open_port_on(int port, const std::string &device) {
    ASSERT_EQ(QB_PortSetDevice(port, device.c_str()), 0);
    ASSERT_EQ(QB_PortOpen(port, 9600), 0) << "open " << device << ": " << QB_GetLastErrorCode() << " "
                                           << QB_GetLastErrorMessage();
}

}  // namespace qbtest
