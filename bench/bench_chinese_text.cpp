// QB_PrintChineseStr per label, warm: a 4-character text at each size class,
// written to a plain file standing in for the printer.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "quillbar.h"

namespace {

const char kText[] = "\xD6\xD0\xCE\xC4\xB1\xEA\xC7\xA9";  // 中文标签, GB2312

class Capture {
public:
    Capture() {
        char path[] = "/tmp/quillbar-bench-XXXXXX";
        fd_ = mkstemp(path);
        path_ = path;
        QB_PortSetDevice(1, path_.c_str());
        QB_PortOpen(1, 9600);
    }
    ~Capture() {
        QB_PortClose();
        close(fd_);
        unlink(path_.c_str());
    }
    void trim() { (void)!ftruncate(fd_, 0); }

private:
    int fd_;
    std::string path_;
};

void BM_ChineseText(benchmark::State &state) {
    Capture capture;
    const int size = static_cast<int>(state.range(0));
    QB_PrintChineseStr(0, 0, 0, 0, size, 0, kText);  // warm: faces open, glyphs cached
    long n = 0;
    for (auto _ : state) {
        if (QB_PrintChineseStr(10, 20, 0, 0, size, 0, kText) != 0) state.SkipWithError("print failed");
        if (++n % 4096 == 0) capture.trim();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChineseText)->Arg(1)->Arg(2)->Arg(3)->Arg(4);

}  // namespace

BENCHMARK_MAIN();
