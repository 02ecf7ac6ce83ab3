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

class GbkDecoder {
public:
    GbkDecoder();
    GbkDecoder(const GbkDecoder &) = delete;
    GbkDecoder &operator=(const GbkDecoder &) = delete;

    std::vector<Character> decode(std::string_view text);

private:
    char32_t pair(const char *bytes);
    char32_t convert(const char *bytes);

    static constexpr char32_t kKnown = 0x80000000u;  // beyond Unicode: marks a pair already asked

    iconv_t cd_;
    std::unique_ptr<char32_t[]> known_[128];  // by lead byte, 0x80 to 0xFF
};

}  // namespace quillbar
