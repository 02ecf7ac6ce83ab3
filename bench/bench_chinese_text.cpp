// SPDX-License-Identifier: MIT
// QB_PrintChineseStr per label, warm: a 4-character text at each size class,
// written to a plain file standing in for the printer.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "capture.h"
#include "quillbar.h"

namespace {

const char kText[] = "\xD6\xD0\xCE\xC4\xB1\xEA\xC7\xA9";  // 中文标签, GB2312

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
