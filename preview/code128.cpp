// SPDX-License-Identifier: MIT
#include "code128.h"

#include <cstddef>

namespace quillbar::preview {
namespace {

// Each symbol value's bars and spaces, in modules; 103..105 are the start
// characters for subsets A, B and C, 106 the stop.
const char *const kPatterns[107] = {
    "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312", "132212", "221213",
    "221312", "231212", "112232", "122132", "122231", "113222", "123122", "123221", "223211", "221132",
    "221231", "213212", "223112", "312131", "311222", "321122", "321221", "312212", "322112", "322211",
    "212123", "212321", "232121", "111323", "131123", "131321", "112313", "132113", "132311", "211313",
    "231113", "231311", "112133", "112331", "132131", "113123", "113321", "133121", "313121", "211331",
    "231131", "213113", "213311", "213131", "311123", "311321", "331121", "312113", "312311", "332111",
    "314111", "221411", "431111", "111224", "111422", "121124", "121421", "141122", "141221", "112214",
    "112412", "122114", "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111",
    "111242", "121142", "121241", "114212", "124112", "124211", "411212", "421112", "421211", "212141",
    "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113", "411311", "113141",
    "114131", "311141", "411131", "211412", "211214", "211232", "2331112",
};

constexpr int kCodeC = 99, kCodeB = 100, kCodeA = 101, kFnc1 = 102, kStartA = 103, kStop = 106;

bool digit(char c) { return c >= '0' && c <= '9'; }
bool in_a(unsigned char c) { return c < 96; }
bool in_b(unsigned char c) { return c >= 32 && c < 128; }
int value_in(Code128Set set, unsigned char c) { return set == Code128Set::A && c < 32 ? c + 64 : c - 32; }

std::size_t digits_from(const std::string &s, std::size_t i) {
    std::size_t n = 0;
    while (i + n < s.size() && digit(s[i + n])) ++n;
    return n;
}

}  // namespace

std::string code128_widths(const std::string &data, Code128Set set, bool fnc1, std::vector<int> &widths) {
    for (unsigned char c : data)
        if (c >= 128) return "Code 128 takes ASCII characters only";
    std::vector<int> values;
    const std::size_t n = data.size();
    if (set == Code128Set::C && (digits_from(data, 0) != n || n % 2))
        return "Code 128 subset C takes an even number of digits";
    for (unsigned char c : data)
        if (set == Code128Set::A && !in_a(c)) return "Code 128 subset A has no lower-case letters";
    // Automatic: C for a run of four digits or more (or two digits alone),
    // A for control characters, B otherwise; switching as the data asks.
    Code128Set now = set;
    if (set == Code128Set::automatic) {
        const std::size_t lead = digits_from(data, 0);
        now = (lead >= 4 || (lead == n && n == 2)) ? Code128Set::C
              : (n && !in_b(static_cast<unsigned char>(data[0]))) ? Code128Set::A
                                                                  : Code128Set::B;
    }
    values.push_back(kStartA + static_cast<int>(now));
    if (fnc1) values.push_back(kFnc1);
    for (std::size_t i = 0; i < n;) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (now == Code128Set::C) {
            if (i + 1 < n && digit(data[i]) && digit(data[i + 1])) {
                values.push_back((data[i] - '0') * 10 + (data[i + 1] - '0'));
                i += 2;
                continue;
            }
            now = in_b(c) ? Code128Set::B : Code128Set::A;
            values.push_back(now == Code128Set::B ? kCodeB : kCodeA);
            continue;
        }
        const std::size_t run = digits_from(data, i);
        if (set == Code128Set::automatic && run >= 4) {
            if (run % 2) {  // the odd digit first, where the subset is
                values.push_back(value_in(now, c));
                ++i;
            }
            values.push_back(kCodeC);
            now = Code128Set::C;
            continue;
        }
        if (now == Code128Set::B && !in_b(c)) {
            values.push_back(kCodeA);
            now = Code128Set::A;
        } else if (now == Code128Set::A && !in_a(c)) {
            values.push_back(kCodeB);
            now = Code128Set::B;
        }
        values.push_back(value_in(now, c));
        ++i;
    }
    long check = values[0];
    for (std::size_t k = 1; k < values.size(); ++k) check += static_cast<long>(k) * values[k];
    values.push_back(static_cast<int>(check % 103));
    values.push_back(kStop);
    widths.clear();
    for (int v : values)
        for (const char *p = kPatterns[v]; *p; ++p) widths.push_back(*p - '0');
    return "";
}

}  // namespace quillbar::preview
