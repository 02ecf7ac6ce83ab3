// SPDX-License-Identifier: MIT
#include "label/gbk_decoder.h"

namespace quillbar {

GbkDecoder::~GbkDecoder() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
}

std::vector<Character> GbkDecoder::decode(std::string_view text, PairMemory *memory) {
    std::vector<Character> out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out.push_back({lead, 1});
            ++i;
        } else if (char32_t code = i + 1 < text.size() ? pair(text.data() + i, memory) : 0) {
            out.push_back({code, 2});
            i += 2;
        } else {
            out.push_back({0, 1});  // a stray byte: one blank cell, then go on
            ++i;
        }
    }
    return out;
}

// Each pair is asked of iconv once, then remembered: labels repeat their
// characters, and iconv costs more than the rest of a character's way. A
// row of 256 for each lead byte met, so a label of a few characters zeroes
// a kilobyte or two, not a table for every pair.
// A pair the memory does not hold is converted, and kept there.
char32_t GbkDecoder::pair(const char *bytes, PairMemory *memory) {
    auto &row = known_[static_cast<unsigned char>(bytes[0]) - 0x80];
    if (!row) row.reset(new char32_t[256]());  // zeroed: nothing known yet
    char32_t &code = row[static_cast<unsigned char>(bytes[1])];
    if (code == 0) {
        const unsigned both = static_cast<unsigned char>(bytes[0]) << 8 | static_cast<unsigned char>(bytes[1]);
        char32_t found = 0;
        if (!memory || !memory->recall(both, found)) {
            found = convert(bytes);
            if (memory) memory->remember(both, found);
        }
        code = found | kKnown;
    }
    return code & ~kKnown;
}

// UCS-4LE is built into the C library; UTF-32LE, the same four bytes for
// every character GBK has, is a module it would load first. Opened when
// first needed: a process whose pairs the store holds never opens it.
char32_t GbkDecoder::convert(const char *bytes) {
    if (!opened_) {
        opened_ = true;
        cd_ = iconv_open("UCS-4LE", "GBK");
    }
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return 0;
    char in[2] = {bytes[0], bytes[1]};
    unsigned char out[4] = {};
    char *inp = in;
    char *outp = reinterpret_cast<char *>(out);
    std::size_t in_left = 2, out_left = 4;
    const std::size_t rc = iconv(cd_, &inp, &in_left, &outp, &out_left);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    if (rc == static_cast<std::size_t>(-1) || in_left != 0 || out_left != 0) return 0;
    return char32_t(out[0]) | char32_t(out[1]) << 8 | char32_t(out[2]) << 16 | char32_t(out[3]) << 24;
}

}  // namespace quillbar
