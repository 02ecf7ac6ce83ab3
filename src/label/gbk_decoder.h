// SPDX-License-Identifier: MIT
// GBK, the code page Chinese Windows uses for GB2312 text, decoded through
// iconv: ASCII bytes stand alone, other characters are a lead and a trail
// byte, and each character takes as many cells as it has bytes.
#pragma once

#include <iconv.h>

#include <memory>
#include <string_view>
#include <vector>

namespace quillbar {

struct Character {
    char32_t code;  // 0: does not decode, its cells stay blank
    int bytes;      // cells it takes
};

// Where decoded pairs are kept between processes (the glyph store), so that
// a process printing pairs decoded before never opens the converter.
class PairMemory {
public:
    // code 0: the pair does not decode.
    virtual bool recall(unsigned pair, char32_t &code) = 0;
    virtual void remember(unsigned pair, char32_t code) = 0;

protected:
    ~PairMemory() = default;
};

class GbkDecoder {
public:
    GbkDecoder() = default;
    ~GbkDecoder();
    GbkDecoder(const GbkDecoder &) = delete;
    GbkDecoder &operator=(const GbkDecoder &) = delete;

    // memory may be null.
    std::vector<Character> decode(std::string_view text, PairMemory *memory = nullptr);

private:
    char32_t pair(const char *bytes, PairMemory *memory);
    char32_t convert(const char *bytes);

    static constexpr char32_t kKnown = 0x80000000u;  // beyond Unicode: marks a pair already asked

    iconv_t cd_ = reinterpret_cast<iconv_t>(-1);  // opened when a pair is first converted
    bool opened_ = false;
    std::unique_ptr<char32_t[]> known_[128];  // by lead byte, 0x80 to 0xFF
};

}  // namespace quillbar
