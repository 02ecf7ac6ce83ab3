// SPDX-License-Identifier: MIT
// The virtual printer: rendering a 100 x 150 mm label with twenty objects
// (text, bar codes, lines, boxes, bitmaps, a stored logo), and, as a peer in
// the same run, writing that label out as a PNG.
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "epl2_printer.h"
#include "pcx.h"

namespace {

using quillbar::preview::Bitmap;
using quillbar::preview::VirtualPrinter;

std::string gw(int x, int y, int row_bytes, int rows) {
    std::string s = "GW" + std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(row_bytes) + "," +
                    std::to_string(rows) + ",";
    for (int i = 0; i < row_bytes * rows; ++i) s += static_cast<char>((i * 37) & 0xFF);
    return s + "\n";
}

// A 100 x 150 mm label: six texts, four bar codes, four lines, two boxes, two
// bitmaps and a stored logo placed twice.
const std::string &label_stream() {
    static const std::string s = "N\n"
                                 "X16,16,8,784,1184\nX32,600,4,768,900\n"
                                 "LO16,200,768,8\nLO16,400,768,4\nLO400,200,4,200\nLO16,1000,768,8\n"
                                 "A40,40,0,4,1,1,N,\"QUILLBAR PARCEL SERVICE\"\n"
                                 "A40,90,0,2,2,2,R,\" PRIORITY \"\n"
                                 "A40,220,0,3,1,1,N,\"SHIP TO: A. Reader\"\n"
                                 "A40,250,0,3,1,1,N,\"12 Harbour Road, Seaport\"\n"
                                 "A420,220,0,1,1,1,N,\"Weight 2.4 kg  Parcel 1/1\"\n"
                                 "A760,420,1,5,1,1,N,\"QB\"\n"
                                 "B40,420,0,1,2,6,120,B,\"QB-2026-000142\"\n"
                                 "B40,620,0,3,2,5,100,B,\"PARCEL7\"\n"
                                 "B40,780,0,9,2,6,80,N,\"CODE93X\"\n"
                                 "B420,780,0,2,3,9,80,B,\"20261207\"\n" +
                                 gw(420, 620, 24, 48) + gw(40, 1040, 48, 64) +
                                 "GG600,40,\"LOGO\"\nGG600,1040,\"LOGO\"\n"
                                 "P1\n";
    return s;
}

VirtualPrinter ready_printer() {
    VirtualPrinter printer(VirtualPrinter::Options{0});  // no label limit: the benchmark prints thousands
    Bitmap logo(96, 96);
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 96; ++x) logo.set(x, y, ((x - 48) * (x - 48) + (y - 48) * (y - 48)) < 40 * 40);
    const auto pcx = quillbar::preview::encode_pcx(logo);
    const std::string setup = "q800\nQ1200,24\nGK\"LOGO\"\nGM\"LOGO\"" + std::to_string(pcx.size()) + "\n" +
                              std::string(pcx.begin(), pcx.end());
    printer.feed(setup.data(), setup.size());
    return printer;
}

void BM_RenderLabel(benchmark::State &state) {
    VirtualPrinter printer = ready_printer();
    long printed = 0;
    printer.on_label([&](const quillbar::preview::LabelView &label) { printed += label.image.width() > 0; });
    const std::string &stream = label_stream();
    for (auto _ : state) {
        printer.feed(stream.data(), stream.size());
        benchmark::DoNotOptimize(printed);
    }
    if (printed != static_cast<long>(state.iterations()) || !printer.diagnostics().empty())
        state.SkipWithError("the label did not render");
}
BENCHMARK(BM_RenderLabel)->Unit(benchmark::kMillisecond);

Bitmap rendered_label() {
    VirtualPrinter printer = ready_printer();
    printer.feed(label_stream().data(), label_stream().size());
    auto labels = printer.take_labels();
    return labels.empty() ? Bitmap() : labels[0].image;
}

// The label's PNG encoded into memory: the encoder alone.
void BM_EncodeLabelPng(benchmark::State &state) {
    const Bitmap image = rendered_label();
    std::vector<unsigned char> png;
    for (auto _ : state)
        if (!quillbar::preview::encode_png(image, png)) state.SkipWithError("cannot encode the PNG");
}
BENCHMARK(BM_EncodeLabelPng)->Unit(benchmark::kMillisecond);

// The same PNG into a new file each time, as the tool writes one per label.
void BM_WriteLabelPngFile(benchmark::State &state) {
    const Bitmap image = rendered_label();
    long n = 0;
    for (auto _ : state) {
        const std::string path = "/tmp/quillbar-bench-label-" + std::to_string(n++) + ".png";
        if (!quillbar::preview::write_png(path, image)) state.SkipWithError("cannot write the PNG");
        state.PauseTiming();
        std::remove(path.c_str());
        state.ResumeTiming();
    }
}
BENCHMARK(BM_WriteLabelPngFile)->Unit(benchmark::kMillisecond);

}  // namespace
