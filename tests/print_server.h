// SPDX-License-Identifier: MIT
// A real print server for the tests and the benchmark: a cupsd of our own in
// the foreground, with a private configuration on a loopback port and its
// own spool, cache, state and log folders, and raw queues whose device is a
// virtual printer listening on TCP. Never the machine's own server.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qbtest {

// A loopback port nobody listens on now.
int free_port();

// quillbar-preview --listen on a free loopback port (or --serve on a new
// pseudo-terminal, with "--serve" among the options), keeping the bytes of
// every job in a file and each label as a PNG.
class ListeningPrinter {
public:
    explicit ListeningPrinter(const std::string &tool, const std::string &folder,
                              const std::vector<std::string> &options = {});
    ~ListeningPrinter();
    int port() const { return port_; }
    const std::string &device() const { return device_; }  // --serve: the terminal
    std::string raw() const;  // every byte received so far
    // Waits until the printer has taken jobs jobs (connections), or the deadline.
    bool wait_for_jobs(long jobs, int seconds);
    // Whether the tool has exited by itself.
    bool exited();
    long jobs() { return lines("job "); }
    // The lines the tool printed so far that start with prefix.
    long lines(const std::string &prefix);
    bool wait_for_lines(const std::string &prefix, long count, int seconds);
    void signal(int sig);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool stopping_ = false;  // SIGTERM or SIGINT sent
    int out_ = -1;
    int port_ = 0;
    std::string device_;
    std::vector<std::string> lines_;
    std::string pending_;
    std::string raw_path_;
};

class PrintServer {
public:
    // Starts cupsd in folder; ok() says whether it answers. Its queue
    // "secure" wants a password for everything, a queue whose operation
    // policy is "jobs-need-password" for jobs only; with asks_everyone, so
    // does every request.
    explicit PrintServer(const std::string &folder, bool asks_everyone = false);
    ~PrintServer();
    bool ok() const { return pid_ > 0; }
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Adds a raw queue whose device is uri ("socket://127.0.0.1:9100"), with
    // options for lpadmin ("-o printer-op-policy=jobs-need-password").
    bool add_raw_queue(const std::string &name, const std::string &uri, const std::string &options = "");
    // Runs a CUPS command against this server (cupsdisable, cupsreject, ...).
    bool command(const std::string &program, const std::string &queue);
    void stop();    // the server goes away (SIGKILL), its spool left as it is
    void signal(int sig);  // SIGSTOP: the server stalls; SIGCONT: it goes on
    bool start();   // the same server again, on the same port and folders

private:
    std::string folder_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace qbtest
