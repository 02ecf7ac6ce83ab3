// SPDX-License-Identifier: MIT
// Labels rendered a second through quillbar-preview --http (libcurl clients
// on keep-alive connections, 1 and 8 at once) against the same render in
// this process (1 and 8 threads), blocks of the two alternating; and the
// service's CPU time a label (from /proc) against the in-process render's.
//
//   quillbar_http_rate PREVIEW_TOOL [SECONDS_A_BLOCK]
#include <curl/curl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "label_api.h"

namespace {

using quillbar::tool::Format;
using quillbar::tool::LabelPath;

// A typical shipping label: text in resident fonts, a bar code, lines.
const std::string kStream =
    "N\nq812\nQ1218,24\nA40,40,0,4,1,1,N,\"SHIP TO\"\nA40,90,0,3,1,1,N,\"ACME WAREHOUSE 7\"\n"
    "A40,120,0,3,1,1,N,\"1200 INDUSTRIAL WAY\"\nLO40,180,730,4\nB40,220,0,1,3,7,200,B,\"1Z999AA10123456784\"\n"
    "A40,500,0,2,2,2,N,\"PO 4711-0815\"\nLO40,580,730,4\nP1\n";

double process_cpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// User and system time of another process, from /proc.
double child_cpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Block {
    double rate = 0;         // labels a second
    double cpu_a_label = 0;  // of the renderer: this process, or the service
};

// Runs work in n threads for the time; each call renders one label.
template <typename Work>
long run_threads(int n, double seconds, Work work) {
    std::atomic<long> done{0};
    std::atomic<bool> failed{false};
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t)
        threads.emplace_back([&, t] {
            auto state = work.begin(t);
            while (std::chrono::steady_clock::now() < until && !failed)
                if (work.once(state))
                    ++done;
                else
                    failed = true;
        });
    for (std::thread &t : threads) t.join();
    if (failed) {
        std::fprintf(stderr, "a render failed\n");
        std::exit(1);
    }
    return done;
}

struct InProcess {
    LabelPath path;
    int begin(int) { return 0; }
    bool once(int &) {
        return quillbar::tool::render(kStream, path, Format::png, quillbar::tool::RenderLimits{}).status == 200;
    }
};

struct OverHttp {
    std::string url;
    static std::size_t keep(char *, std::size_t size, std::size_t n, void *) { return size * n; }
    std::shared_ptr<CURL> begin(int) {
        std::shared_ptr<CURL> c(curl_easy_init(), curl_easy_cleanup);
        curl_easy_setopt(c.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(c.get(), CURLOPT_POSTFIELDS, kStream.c_str());
        curl_easy_setopt(c.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(kStream.size()));
        curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, &OverHttp::keep);
        curl_easy_setopt(c.get(), CURLOPT_NOSIGNAL, 1L);
        return c;
    }
    bool once(std::shared_ptr<CURL> &c) {
        long status = 0;
        return curl_easy_perform(c.get()) == CURLE_OK &&
               curl_easy_getinfo(c.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PREVIEW_TOOL [SECONDS_A_BLOCK]\n", argv[0]);
        return 2;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 1.0;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int out[2];
    if (pipe(out) != 0) return 1;
    const pid_t service = fork();
    if (service == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(argv[1], argv[1], "--http", "127.0.0.1:0", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE *said = fdopen(out[0], "r");
    char line[256] = {};
    if (!said || !std::fgets(line, sizeof line, said) || std::strncmp(line, "http: ", 6) != 0) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }
    std::string base = line + 6;
    base.erase(base.find_last_not_of("\r\n") + 1);

    InProcess local;
    local.path.media_width = 812;
    local.path.media_length = 1218;
    OverHttp remote{base + "v1/printers/8dpmm/labels/4x6/0/"};
    std::printf("Labels rendered a second (a %zu-byte shipping label to PNG), %.1f s blocks alternating, medians of 3:\n",
                kStream.size(), seconds);
    std::printf("%-10s %14s %14s %8s %18s %18s %8s\n", "clients", "in-process/s", "HTTP/s", "ratio", "CPU in-process",
                "CPU service", "ratio");
    for (const int clients : {1, 8}) {
        std::vector<double> local_rate, remote_rate, local_cpu, remote_cpu;
        for (int round = 0; round < 3; ++round) {
            double cpu = process_cpu();
            long n = run_threads(clients, seconds, local);
            local_rate.push_back(static_cast<double>(n) / seconds);
            local_cpu.push_back((process_cpu() - cpu) / static_cast<double>(n));
            cpu = child_cpu(service);
            n = run_threads(clients, seconds, remote);
            remote_rate.push_back(static_cast<double>(n) / seconds);
            remote_cpu.push_back((child_cpu(service) - cpu) / static_cast<double>(n));
        }
        const double lr = median(local_rate), rr = median(remote_rate), lc = median(local_cpu), rc = median(remote_cpu);
        std::printf("%-10d %14.0f %14.0f %7.2fx %15.1f us %15.1f us %7.2fx\n", clients, lr, rr, rr / lr, lc * 1e6,
                    rc * 1e6, rc / lc);
    }
    std::printf("(ratio: HTTP against in-process; the service renders on %u processor(s) with its default workers,\n"
                " and its CPU a label includes HTTP; the clients' own CPU is not counted.)\n",
                std::thread::hardware_concurrency());
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    curl_global_cleanup();
    return 0;
}
