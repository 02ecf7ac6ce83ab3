// SPDX-License-Identifier: MIT
// Bar codes by name: each symbology a row of what the printer calls it, the
// bar widths it takes and the data it accepts. Data is checked here as the
// printer would check it, so that no line goes out that it would reject.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "connection/connection.h"
#include "connection/guard.h"
#include "connection/operations.h"

namespace quillbar::op {
namespace {

bool all_digits(const std::string &s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool printable(const std::string &s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c >= 0x20 && c < 0x7F; });
}

// The GS1 check digit (EAN, UPC): weights 3 and 1 from the right.
char check_digit(const std::string &digits) {
    int sum = 0;
    for (std::size_t i = 0; i < digits.size(); ++i)
        sum += (digits[digits.size() - 1 - i] - '0') * (i % 2 == 0 ? 3 : 1);
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

// EAN and UPC: the number without its check digit, which the printer adds;
// with it, it must be right, and is left for the printer to add again.
std::string ean(std::string &data, std::size_t length, const char *name) {
    if (!all_digits(data) || (data.size() != length && data.size() != length + 1))
        return std::string(name) + " takes " + std::to_string(length) + " digits, or " + std::to_string(length + 1) +
               " with the check digit";
    if (data.size() == length + 1) {
        if (data.back() != check_digit(data.substr(0, length)))
            return std::string(name) + " check digit is " + check_digit(data.substr(0, length)) + ", not " + data.back();
        data.pop_back();
    }
    return "";
}

std::string ean13(std::string &d) { return ean(d, 12, "EAN-13"); }
std::string ean8(std::string &d) { return ean(d, 7, "EAN-8"); }
std::string upca(std::string &d) { return ean(d, 11, "UPC-A"); }

// UPC-E's six digits as the UPC-A number they stand for (number system 0),
// whose check digit UPC-E carries.
std::string upca_of_upce(const std::string &six) {
    const std::string d = six;
    switch (d[5]) {
    case '0':
    case '1':
    case '2': return "0" + d.substr(0, 2) + d[5] + "0000" + d.substr(2, 3);
    case '3': return "0" + d.substr(0, 3) + "00000" + d.substr(3, 2);
    case '4': return "0" + d.substr(0, 4) + "00000" + d[4];
    default: return "0" + d.substr(0, 5) + "0000" + d[5];
    }
}

std::string upce(std::string &d) {
    if (!all_digits(d) || !(d.size() == 6 || ((d.size() == 7 || d.size() == 8) && d[0] == '0')))
        return "UPC-E takes 6 digits, or 7 or 8 starting with number system 0";
    if (d.size() == 8) {
        const char check = check_digit(upca_of_upce(d.substr(1, 6)));
        if (d.back() != check) return std::string("UPC-E check digit is ") + check + ", not " + d.back();
    }
    return "";
}

std::string ascii(std::string &d) {
    return std::all_of(d.begin(), d.end(), [](unsigned char c) { return c < 0x80; }) ? "" : "the data is not ASCII";
}

std::string printable_ascii(std::string &d) { return printable(d) ? "" : "the data holds bytes that are not printable ASCII"; }

std::string subset_a(std::string &d) {
    return std::all_of(d.begin(), d.end(), [](unsigned char c) { return c < 0x60; })
               ? ""
               : "Code 128 subset A has no lower-case letters or bytes above 0x5F";
}

std::string subset_c(std::string &d) {
    return all_digits(d) && d.size() % 2 == 0 ? "" : "Code 128 subset C takes an even number of digits";
}

// Application identifiers whose data has a fixed or a longest length:
// the ones labels carry most. An identifier not listed is taken as written.
struct Identifier {
    const char *ai;     // a prefix: "31" stands for 3100..3199
    std::size_t ai_length;
    std::size_t fixed;  // digits exactly, or 0
    std::size_t most;   // characters at most, when not fixed
};
constexpr Identifier kIdentifiers[] = {
    {"00", 2, 18, 0}, {"01", 2, 14, 0}, {"02", 2, 14, 0}, {"10", 2, 0, 20}, {"11", 2, 6, 0},  {"12", 2, 6, 0},
    {"13", 2, 6, 0},  {"15", 2, 6, 0},  {"16", 2, 6, 0},  {"17", 2, 6, 0},  {"20", 2, 2, 0},  {"21", 2, 0, 20},
    {"22", 2, 0, 20}, {"30", 2, 0, 8},  {"31", 4, 6, 0},  {"32", 4, 6, 0},  {"33", 4, 6, 0},  {"34", 4, 6, 0},
    {"35", 4, 6, 0},  {"36", 4, 6, 0},  {"37", 2, 0, 8},  {"41", 3, 13, 0}, {"90", 2, 0, 30}, {"91", 2, 0, 90},
    {"92", 2, 0, 90}, {"93", 2, 0, 90}, {"94", 2, 0, 90}, {"95", 2, 0, 90}, {"96", 2, 0, 90}, {"97", 2, 0, 90},
    {"98", 2, 0, 90}, {"99", 2, 0, 90},
};

// GS1 data: application identifiers in parentheses, each followed by its
// data, of the length the identifier gives.
std::string gs1(std::string &d) {
    if (!printable(d)) return "GS1-128 data is printable ASCII";
    if (d[0] != '(') return "GS1-128 data starts with an application identifier in parentheses, e.g. (01)";
    for (std::size_t at = 0; at < d.size();) {
        const std::size_t close = d.find(')', at);
        if (d[at] != '(' || close == std::string::npos)
            return "GS1-128 data is application identifiers in parentheses, each followed by its data";
        const std::string ai = d.substr(at + 1, close - at - 1);
        if (ai.size() < 2 || ai.size() > 4 || !all_digits(ai))
            return "GS1-128 application identifier \"(" + ai + ")\" is not 2 to 4 digits";
        std::size_t end = d.find('(', close);
        if (end == std::string::npos) end = d.size();
        const std::string data = d.substr(close + 1, end - close - 1);
        if (data.empty()) return "GS1-128 application identifier (" + ai + ") has no data";
        for (const Identifier &id : kIdentifiers) {
            if (ai.size() != id.ai_length || ai.compare(0, std::strlen(id.ai), id.ai) != 0) continue;
            if (id.fixed && (data.size() != id.fixed || !all_digits(data)))
                return "GS1-128 (" + ai + ") takes " + std::to_string(id.fixed) + " digits, not \"" + data + "\"";
            if (id.most && data.size() > id.most)
                return "GS1-128 (" + ai + ") takes at most " + std::to_string(id.most) + " characters, not " +
                       std::to_string(data.size());
        }
        at = end;
    }
    return "";
}

std::string codabar(std::string &d) {
    const auto start = [](char c) { return std::strchr("ABCDabcd", c) != nullptr; };
    std::size_t from = 0, to = d.size();
    if (d.size() >= 2 && start(d.front()) && start(d.back())) ++from, --to;
    for (std::size_t i = from; i < to; ++i)
        if (!std::strchr("0123456789-$:/.+", d[i]) || d[i] == '\0')
            return "Codabar takes digits and - $ : / . + (between start and stop letters A..D)";
    return from < to ? "" : "Codabar takes at least one character between its start and stop letters";
}

std::string interleaved(std::string &d) { return all_digits(d) ? "" : "Interleaved 2 of 5 takes digits only"; }

std::string postnet(std::string &d) {
    std::string digits;
    for (char c : d)
        if (c != '-') digits += c;
    const std::size_t n = digits.size();
    return all_digits(digits) && (n == 5 || n == 9 || n == 11 || n == 13) ? ""
                                                                          : "Postnet takes 5, 9, 11 or 13 digits";
}

// Characters, as the longest a symbology holds counts them.
std::size_t characters(const std::string &d) { return d.size(); }

// Code 128's symbol characters, at the fewest: a run of four digits or more
// (or data that is all digits) packs two digits into one, each other byte
// takes one. Code switches are not counted, so data refused here is
// refused by the printer too.
std::size_t code128_symbols(const std::string &d) {
    std::size_t count = 0;
    const bool all = all_digits(d);
    for (std::size_t i = 0; i < d.size();) {
        std::size_t run = 0;
        while (i + run < d.size() && std::isdigit(static_cast<unsigned char>(d[i + run]))) ++run;
        if (run == 0) {
            ++count, ++i;
            continue;
        }
        count += run >= 4 || all ? run / 2 + run % 2 : run;
        i += run;
    }
    return count;
}

struct Symbology {
    const char *name;       // as the caller writes it, without - _ / and blanks
    const char *selection;  // what the printer calls it
    int narrow_min, narrow_max;
    bool wide_bars;  // whether the wide bar means anything
    std::string (*rule)(std::string &data);
    std::size_t most;  // the longest data the printer takes (0: the rule says)
    std::size_t (*length)(const std::string &data);
    const char *unit;  // what length counts
};

constexpr const char *kChars = "characters";
constexpr const char *kSymbols = "symbol characters (two digits in a row of four or more make one)";

const Symbology kSymbologies[] = {
    {"EAN13", "E30", 2, 4, false, ean13, 0, characters, kChars},
    {"EAN8", "E80", 2, 4, false, ean8, 0, characters, kChars},
    {"UPCA", "UA0", 2, 4, false, upca, 0, characters, kChars},
    {"UPCE", "UE0", 2, 4, false, upce, 0, characters, kChars},
    {"CODE128", "1", 1, 10, false, ascii, 60, code128_symbols, kSymbols},
    {"CODE128A", "1A", 1, 10, false, subset_a, 60, characters, kChars},
    {"CODE128B", "1B", 1, 10, false, printable_ascii, 60, characters, kChars},
    {"CODE128C", "1C", 1, 10, false, subset_c, 60, code128_symbols, kSymbols},
    {"GS1128", "1E", 1, 10, false, gs1, 0, characters, kChars},
    {"UCCEAN128", "1E", 1, 10, false, gs1, 0, characters, kChars},
    {"CODE39", "3", 1, 10, true, printable_ascii, 85, characters, kChars},
    {"CODE39C", "3C", 1, 10, true, printable_ascii, 85, characters, kChars},
    {"CODE93", "9", 1, 10, false, printable_ascii, 107, characters, kChars},
    {"CODABAR", "K", 1, 10, true, codabar, 60, characters, kChars},
    {"I2OF5", "2", 1, 10, true, interleaved, 90, characters, kChars},
    {"I2OF5C", "2C", 1, 10, true, interleaved, 90, characters, kChars},
    {"POSTNET", "P", 0, 0, false, postnet, 0, characters, kChars},
};

// "ean-13", "Code 128", "UCC/EAN-128": upper case, without - _ / and blanks.
std::string key_of(const char *name) {
    std::string key;
    for (const char *p = name; *p; ++p)
        if (!std::strchr("-_/ ", *p)) key += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return key;
}

template <class Row, std::size_t N>
const Row *find(const Row (&table)[N], const char *name) {
    const std::string key = key_of(name);
    for (const Row &row : table)
        if (key == row.name) return &row;
    return nullptr;
}

// Inside quotes the printer reads \" as a quote and \\ as a backslash.
std::string escaped(const std::string &data) {
    std::string out;
    out.reserve(data.size());
    for (char c : data) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// Bytes a 2-D code holds at most, by what the data is made of.
struct Capacity {
    long numeric, alphanumeric, bytes;
};

struct TwoDimensional {
    const char *name;
    const char *type;
    int module_min, module_max, module_default;
    Capacity (*capacity)(int level);
};

Capacity qr_capacity(int level) {
    switch (level) {
    case 'L': return {7089, 4296, 2953};
    case 'Q': return {3993, 2420, 1663};
    case 'H': return {3057, 1852, 1273};
    default: return {5596, 3391, 2331};  // M
    }
}
Capacity datamatrix_capacity(int) { return {3116, 2335, 1556}; }
// PDF417 has 928 codewords less 2^(level+1) for error correction and one for
// the length: at level 0, 925 hold 2710 digits, 1850 letters or 1108
// bytes, and each level takes 2^(level+1) away (auto, -1, as level 0).
Capacity pdf417_capacity(int level) {
    const long words = 928 - (2L << std::clamp(level, 0, 8)) - 1;
    return {words * 2710 / 925, words * 2, words * 6 / 5};
}

// The widest print head of an EPL2 printer (4.16 inches at 300 dpi): a
// symbol wider than this is cut on every printer.
constexpr long kWidestHead = 1248;
// The widest head in the dots the library sends (8 a millimetre: 4.1 inches
// at 203 dpi): where the caller set no label width, what lies past it is cut.
constexpr long kWidestHeadAt203 = 832;

// 0 when a symbol from x (dots) at least `least` dots wide fits the label
// width set on this printer (or the widest head at 203 dpi when none was
// set); otherwise -1 with why: a symbol cut at the edge does not scan.
int fits_the_head(const char *name, long x, long least) {
    const long set = current_printer().label_width();
    const long edge = set > 0 ? set : kWidestHeadAt203;
    if (x + least <= edge) return 0;
    return fail_parameter("the %s symbol runs from dot %ld to at least %ld, past the %s (%ld dots): it would be cut%s",
                          name, x, x + least, set > 0 ? "label width set" : "print head", edge,
                          set > 0 ? "" : " (a wider head: set the label width with QB_SetPaperSize first)");
}

const TwoDimensional kTwoDimensional[] = {
    {"QR", "Q", 1, 99, 3, qr_capacity},
    {"DATAMATRIX", "D", 1, 40, 5, datamatrix_capacity},
    {"PDF417", "P", 2, 9, 0, pdf417_capacity},
};

long held(const std::string &data, const Capacity &c) {
    const bool numeric = all_digits(data);
    const bool alnum = std::all_of(data.begin(), data.end(),
                                   [](char ch) { return ch && std::strchr("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./:", ch); });
    return numeric ? c.numeric : alnum ? c.alphanumeric : c.bytes;
}

}  // namespace

int PrintBarcodeByName(int x, int y, int rotation, const char *symbology, int narrow, int wide, int height, int readable,
                       const char *data) {
    if (!symbology) return fail_parameter("the symbology is NULL");
    if (check_text(data, "bar-code data") != 0) return -1;
    const Symbology *s = find(kSymbologies, symbology);
    if (!s)
        return fail_parameter("no symbology \"%.40s\": EAN-13, EAN-8, UPC-A, UPC-E, CODE128, CODE128A, CODE128B, "
                              "CODE128C, GS1-128, CODE39, CODE39C, CODE93, CODABAR, I2OF5, I2OF5C or POSTNET",
                              symbology);
    if (rotation < 0 || rotation > 3) return fail_parameter("rotation %d is not 0..3", rotation);
    if (height < 1 || height > 1000) return fail_parameter("height %d mm is not 1..1000", height);
    if (s->narrow_max) {
        if (narrow == 0) narrow = std::max(2, s->narrow_min);
        if (narrow < s->narrow_min || narrow > s->narrow_max)
            return fail_parameter("%s takes a narrow bar of %d..%d dots, not %d", s->name, s->narrow_min, s->narrow_max,
                                  narrow);
    } else {
        narrow = narrow ? narrow : 2;  // Postnet's bars are fixed: the field is there, and unused
    }
    if (wide == 0) wide = s->wide_bars ? std::min(30, 3 * narrow) : std::clamp(narrow, 2, 30);
    if (wide < 2 || wide > 30) return fail_parameter("a wide bar of %d dots is not 2..30", wide);
    if (s->wide_bars && wide <= narrow)
        return fail_parameter("the wide bar (%d dots) must be wider than the narrow one (%d)", wide, narrow);
    std::string value = data;
    if (value.empty()) return fail_parameter("the bar-code data is empty");
    const std::string broken = s->rule(value);
    if (!broken.empty()) return fail_parameter("%s", broken.c_str());
    if (s->most && s->length(value) > s->most)
        return fail_parameter("%s holds at most %zu %s, not %zu", s->name, s->most, s->unit, s->length(value));
    return send(Line("B").mm(x).mm(y).num(rotation).word(s->selection).num(narrow).num(wide).mm(height)
                    .word(readable ? "B" : "N").quoted(escaped(value)));
}

int Print2DBarcode(int x, int y, const char *symbology, int module, int level, int width, int height, const char *data) {
    if (!symbology) return fail_parameter("the symbology is NULL");
    if (check_text(data, "bar-code data") != 0) return -1;
    const TwoDimensional *s = find(kTwoDimensional, symbology);
    if (!s) return fail_parameter("no two-dimensional symbology \"%.40s\": QR, DATAMATRIX or PDF417", symbology);
    const std::string value = data;
    if (value.empty()) return fail_parameter("the bar-code data is empty");
    if (module != 0 && (module < s->module_min || module > s->module_max))
        return fail_parameter("%s takes a module of %d..%d dots, not %d", s->name, s->module_min, s->module_max, module);
    if (module == 0) module = s->module_default;
    Line line("b");
    line.mm(x).mm(y).word(s->type);
    if (s->type[0] == 'Q') {
        if (level == 0) level = 'M';
        if (level < 0 || level > 127 || !std::strchr("LMQH", level))
            return fail_parameter("QR error level %d is not 'L', 'M', 'Q' or 'H'", level);
        if (width || height) return fail_parameter("QR takes no width or height (give 0)");
        // The smallest QR code is 21 modules across.
        if (21L * module > kWidestHead)
            return fail_parameter("a QR code of module %d is at least %ld dots wide, wider than any print head (%ld)",
                                  module, 21L * module, kWidestHead);
        if (fits_the_head("QR", 8L * x, 21L * module) != 0) return -1;
        line.word("s" + std::to_string(module)).word(std::string("e") + static_cast<char>(level));
    } else if (s->type[0] == 'D') {
        if (level) return fail_parameter("Data Matrix takes no error level (give 0): ECC 200 is its only one");
        if (width || height) return fail_parameter("Data Matrix takes no width or height (give 0)");
        // The smallest Data Matrix is 10 modules across.
        if (fits_the_head("Data Matrix", 8L * x, 10L * module) != 0) return -1;
        line.word("h" + std::to_string(module));
    } else {
        if (level < -1 || level > 8) return fail_parameter("PDF417 security level %d is not 0..8 or -1 (automatic)", level);
        if (width < 1 || height < 1 || width > 500 || height > 500)
            return fail_parameter("PDF417 needs the box it fits in: width and height 1..500 mm, not %d x %d", width, height);
        if (8L * width > kWidestHead)
            return fail_parameter("a PDF417 box %d mm wide (%ld dots) is wider than any print head (%ld dots, %ld mm)",
                                  width, 8L * width, kWidestHead, kWidestHead / 8);
        if (fits_the_head("PDF417", 8L * x, 8L * width) != 0) return -1;
        line.mm(width).mm(height);
        if (module) line.word("x" + std::to_string(module));
        if (level >= 0) line.word("s" + std::to_string(level));
    }
    const long most = held(value, s->capacity(level));
    if (static_cast<long>(value.size()) > most)
        return fail_parameter("%s holds at most %ld such characters at this level, not %zu", s->name, most, value.size());
    return send(line.quoted(escaped(value)));
}

}  // namespace quillbar::op
