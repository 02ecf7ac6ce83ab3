// SPDX-License-Identifier: MIT
#include "print_server.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace qbtest {
namespace {


bool answers(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

void write_file(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

// A folder the lp user (backends, filters) may enter.
void make_dir(const std::string &path, mode_t mode, bool group_lp) {
    mkdir(path.c_str(), mode);
    chmod(path.c_str(), mode);
    if (group_lp)
        if (const group *g = getgrnam("lp")) (void)!chown(path.c_str(), 0, g->gr_gid);
}

int run(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

}  // namespace

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    const int port = ntohs(a.sin_port);
    close(fd);
    return port;
}

ListeningPrinter::ListeningPrinter(const std::string &tool, const std::string &folder,
                                   const std::vector<std::string> &options) {
    raw_path_ = folder + "/raw.epl";
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        const std::string png = folder + "/label-%05d.png";
        std::vector<std::string> args = {tool, "--max-labels", "0", "--raw", raw_path_, "-o", png};
        bool serve = false;
        for (const std::string &o : options) serve = serve || o == "--serve";
        if (!serve) args.insert(args.end(), {"--listen", "127.0.0.1:0"});
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    // "listening: 127.0.0.1:PORT" or "device: /dev/pts/N"
    std::string line;
    char c;
    while (read(out_, &c, 1) == 1 && c != '\n') line += c;
    const std::size_t colon = line.rfind(':');
    if (line.compare(0, 8, "device: ") == 0)
        device_ = line.substr(8);
    else if (colon != std::string::npos)
        port_ = std::atoi(line.c_str() + colon + 1);
}

void ListeningPrinter::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
    stopping_ = stopping_ || sig == SIGTERM || sig == SIGINT;
}

// Stopped once: a second SIGTERM while a sanitized build checks for leaks on
// its way out can leave it stuck in that check.
ListeningPrinter::~ListeningPrinter() {
    if (pid_ > 0) {
        if (!stopping_) kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
}

long ListeningPrinter::lines(const std::string &prefix) {
    char buf[4096];
    pollfd pfd{out_, POLLIN, 0};
    while (poll(&pfd, 1, 0) == 1) {
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) break;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1))
        lines_.push_back(pending_.substr(0, end));
    long count = 0;
    for (const std::string &line : lines_) count += line.compare(0, prefix.size(), prefix) == 0;
    return count;
}

bool ListeningPrinter::wait_for_lines(const std::string &prefix, long count, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (lines(prefix) < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return lines(prefix) >= count;
}

bool ListeningPrinter::wait_for_jobs(long jobs, int seconds) { return wait_for_lines("job ", jobs, seconds); }

bool ListeningPrinter::exited() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    return pid_ < 0;
}

std::string ListeningPrinter::raw() const {
    std::ifstream in(raw_path_, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

PrintServer::PrintServer(const std::string &folder, bool asks_everyone) : folder_(folder), port_(free_port()) {
    chmod(folder.c_str(), 0755);
    make_dir(folder + "/etc", 0755, true);
    make_dir(folder + "/etc/ppd", 0755, true);
    make_dir(folder + "/spool", 0710, true);
    make_dir(folder + "/spool/tmp", 01770, true);
    make_dir(folder + "/cache", 0770, true);
    make_dir(folder + "/state", 0755, true);
    make_dir(folder + "/log", 0755, false);
    write_file(folder + "/etc/cupsd.conf",
               "Listen 127.0.0.1:" + std::to_string(port_) +
                   "\nServerName 127.0.0.1\nServerAlias *\nLogLevel warn\nBrowsing Off\nWebInterface No\n"
                   "DefaultAuthType None\nMaxJobs 0\nMaxJobsPerPrinter 0\nMaxJobsPerUser 0\nMaxClients 1000\n"
                   "PreserveJobHistory Off\nPreserveJobFiles Off\nJobRetryInterval 1\nDirtyCleanInterval 0\n" +
                   (asks_everyone ? "<Location />\n  AuthType Basic\n  Require valid-user\n</Location>\n"
                                  : "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n") +
                   "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
                   "<Location /printers/secure>\n  AuthType Basic\n  Require valid-user\n</Location>\n"
                   "<Policy default>\n  <Limit All>\n    Order deny,allow\n    Allow all\n  </Limit>\n</Policy>\n"
                   "<Policy jobs-need-password>\n  <Limit Create-Job Print-Job Print-URI Send-Document>\n"
                   "    AuthType Basic\n    Require valid-user\n  </Limit>\n"
                   "  <Limit All>\n    Order deny,allow\n    Allow all\n  </Limit>\n</Policy>\n");
    write_file(folder + "/etc/cups-files.conf",
               "ServerRoot " + folder + "/etc\nRequestRoot " + folder + "/spool\nTempDir " + folder +
                   "/spool/tmp\nCacheDir " + folder + "/cache\nStateDir " + folder + "/state\nErrorLog " + folder +
                   "/log/error_log\nAccessLog " + folder + "/log/access_log\nPageLog " + folder +
                   "/log/page_log\nUser lp\nGroup lp\nSystemGroup root\nSandboxing Relaxed\nFileDevice No\n");
    start();
}

bool PrintServer::start() {
    pid_ = fork();
    if (pid_ == 0) {
        const std::string conf = folder_ + "/etc/cupsd.conf", files = folder_ + "/etc/cups-files.conf";
        (void)!freopen("/dev/null", "w", stdout);
        execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200 && !answers(port_); ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (!answers(port_)) stop();
    return pid_ > 0;
}

void PrintServer::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

void PrintServer::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

PrintServer::~PrintServer() { stop(); }

bool PrintServer::add_raw_queue(const std::string &name, const std::string &uri, const std::string &options) {
    return run("/usr/sbin/lpadmin -h " + address() + " -p " + name + " -E -v " + uri + " -m raw " + options) == 0;
}

bool PrintServer::command(const std::string &program, const std::string &queue) {
    return run("/usr/sbin/" + program + " -h " + address() + " " + queue) == 0;
}

}  // namespace qbtest
