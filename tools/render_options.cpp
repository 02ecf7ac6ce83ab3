// SPDX-License-Identifier: MIT
// The label viewers' option headers, and the page's: what each takes, the
// character sets typed text may be sent in, and pictures as base64.
#include <dlfcn.h>
#include <iconv.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "connection/late_library.h"
#include "label_api.h"

namespace quillbar::tool {

namespace {

// A value among names, in any case: its index, or -1.
int one_of(const char *value, std::initializer_list<const char *> names) {
    int i = 0;
    for (const char *name : names) {
        if (strcasecmp(value, name) == 0) return i;
        ++i;
    }
    return -1;
}

// "4x6", "8.5x11": inches, each more than 0 and at most 100.
bool parse_inches(const char *text, double &width, double &height) {
    char *end = nullptr;
    width = std::strtod(text, &end);
    if (end == text || (*end != 'x' && *end != 'X')) return false;
    const char *second = end + 1;
    height = std::strtod(second, &end);
    return end != second && !*end && width > 0 && height > 0 && width <= 100 && height <= 100;
}

}  // namespace

bool parse_render_options(const std::function<const char *(const char *)> &header, RenderOptions &out,
                          std::string &why) {
    using Sheet = preview::PdfSheet;
    if (const char *rotation = header("X-Rotation")) {
        const int i = one_of(rotation, {"0", "90", "180", "270"});
        if (i < 0) return why = "X-Rotation is 0, 90, 180 or 270, not " + std::string(rotation), false;
        out.rotation = 90 * i;
    }
    if (const char *linter = header("X-Linter")) {
        const int i = one_of(linter, {"Off", "On"});
        if (i < 0) return why = "X-Linter is On or Off, not " + std::string(linter), false;
        out.warnings = i == 1;
    }
    if (const char *images = header("X-Images")) {
        char *end = nullptr;
        out.images = std::strtol(images, &end, 10);
        if (end == images || *end || out.images < 0 || out.images > 1000)
            return why = "X-Images is how many labels' PNGs the JSON holds, 0 to 1000, not " + std::string(images), false;
    }
    if (const char *charset = header("X-Charset")) {
        if (!known_charset(charset))
            return why = "X-Charset is one of the printer's character sets (CP437, CP850, CP852, CP855, CP857, CP860, "
                         "CP861, CP862, CP863, CP865, CP866, CP737, CP851, CP869, CP1250 to CP1255, GB2312, GBK), not " +
                         std::string(charset), false;
        out.charset = charset;
        for (char &c : out.charset) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (const char *quality = header("X-Quality")) {
        const int i = one_of(quality, {"Bitonal", "Grayscale"});
        if (i < 0) return why = "X-Quality is Grayscale or Bitonal, not " + std::string(quality), false;
        out.grayscale = i == 1;
    }
    const char *size = header("X-Page-Size");
    const char *page_options[] = {"X-Page-Orientation", "X-Page-Layout", "X-Page-Align", "X-Page-Vertical-Align",
                                  "X-Label-Border"};
    if (!size) {
        for (const char *name : page_options)
            if (header(name)) return why = std::string(name) + " lays labels out on pages: it needs X-Page-Size", false;
        return true;
    }
    Sheet sheet;
    constexpr double kPointsPerMm = 72 / 25.4;
    const int named = one_of(size, {"Letter", "A4", "A5", "A6"});
    const double sizes[][2] = {{612, 792}, {210 * kPointsPerMm, 297 * kPointsPerMm},
                               {148 * kPointsPerMm, 210 * kPointsPerMm}, {105 * kPointsPerMm, 148 * kPointsPerMm}};
    double width = 0, height = 0;
    if (named >= 0) {
        sheet.width_pt = sizes[named][0], sheet.height_pt = sizes[named][1];
    } else if (parse_inches(size, width, height)) {
        sheet.width_pt = width * 72, sheet.height_pt = height * 72;
    } else {
        return why = "X-Page-Size is Letter, A4, A5, A6 or WxH in inches (up to 100), not " + std::string(size), false;
    }
    if (const char *orientation = header("X-Page-Orientation")) {
        const int i = one_of(orientation, {"Portrait", "Landscape"});
        if (i < 0) return why = "X-Page-Orientation is Portrait or Landscape, not " + std::string(orientation), false;
        const bool wide = sheet.width_pt > sheet.height_pt;
        if ((i == 1) != wide) std::swap(sheet.width_pt, sheet.height_pt);
    }
    if (const char *layout = header("X-Page-Layout")) {
        char *end = nullptr;
        const long columns = std::strtol(layout, &end, 10);
        const char *second = *end == 'x' || *end == 'X' ? end + 1 : nullptr;
        const long rows = second ? std::strtol(second, &end, 10) : 0;
        if (!second || end == second || *end || columns < 1 || rows < 1 || columns > 20 || rows > 20)
            return why = "X-Page-Layout is columns x rows, each 1 to 20 (2x3), not " + std::string(layout), false;
        sheet.columns = static_cast<int>(columns), sheet.rows = static_cast<int>(rows);
    }
    const Sheet::Align aligns[] = {Sheet::Align::start, Sheet::Align::end, Sheet::Align::center, Sheet::Align::justify};
    if (const char *align = header("X-Page-Align")) {
        const int i = one_of(align, {"Left", "Right", "Center", "Justify"});
        if (i < 0) return why = "X-Page-Align is Left, Right, Center or Justify, not " + std::string(align), false;
        sheet.horizontal = aligns[i];
    }
    if (const char *align = header("X-Page-Vertical-Align")) {
        const int i = one_of(align, {"Top", "Bottom", "Center", "Justify"});
        if (i < 0) return why = "X-Page-Vertical-Align is Top, Bottom, Center or Justify, not " + std::string(align), false;
        sheet.vertical = aligns[i];
    }
    if (const char *border = header("X-Label-Border")) {
        const int i = one_of(border, {"None", "Solid", "Dashed"});
        if (i < 0) return why = "X-Label-Border is None, Solid or Dashed, not " + std::string(border), false;
        sheet.border = i == 0 ? Sheet::Border::none : i == 1 ? Sheet::Border::solid : Sheet::Border::dashed;
    }
    out.sheet = sheet;
    return true;
}

bool known_charset(const std::string &name) {
    static const char *const kSets[] = {"CP437",  "CP850",  "CP852",  "CP855",  "CP857",  "CP860",  "CP861",  "CP862",
                                        "CP863",  "CP865",  "CP866",  "CP737",  "CP851",  "CP869",  "CP1250", "CP1251",
                                        "CP1252", "CP1253", "CP1254", "CP1255", "GB2312", "GBK"};
    for (const char *set : kSets)
        if (strcasecmp(set, name.c_str()) == 0) return true;
    return false;
}

bool encode_text(const std::string &utf8, const std::string &charset, std::string &out, std::string &why) {
    iconv_t cd = iconv_open(charset.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return why = "this system's iconv has no " + charset, false;
    out.clear();
    out.reserve(utf8.size());
    std::vector<std::string> missing;
    char buffer[4096];
    const char *in = utf8.data();
    std::size_t left = utf8.size();
    while (left > 0) {
        char *to = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t done = iconv(cd, const_cast<char **>(&in), &left, &to, &room);
        out.append(buffer, static_cast<std::size_t>(to - buffer));
        if (done != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
        // A character the set has not (EILSEQ), or not UTF-8 at all: say
        // which, on which line, and go on after it.
        std::size_t length = 1;
        const auto lead = static_cast<unsigned char>(*in);
        if (errno == EILSEQ && lead >= 0xC0) length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        length = std::min(length, left);
        const long line = 1 + std::count(utf8.data(), in, '\n');
        if (missing.size() < 5) missing.push_back("\"" + std::string(in, length) + "\" (line " + std::to_string(line) + ")");
        in += length, left -= length;
        out += '?';
    }
    iconv_close(cd);
    if (missing.empty()) return true;
    why = charset + " cannot hold ";
    for (std::size_t i = 0; i < missing.size(); ++i) why += (i ? ", " : "") + missing[i];
    why += "; choose a character set that has them (the printer's I command says which it prints)";
    return false;
}

namespace {

struct GnutlsDatum {
    unsigned char *data;
    unsigned int size;
};
struct GnutlsBase64 {
    int (*encode)(const GnutlsDatum *, GnutlsDatum *) = nullptr;
    void (**free)(void *) = nullptr;
};

}  // namespace

std::string base64(const std::vector<unsigned char> &bytes) {
    std::string error;
    const GnutlsBase64 *gnutls = load_late_once<GnutlsBase64>(
        "libgnutls.so.30", "pictures in the JSON report", "GnuTLS", "libgnutls30",
        [](void *handle, GnutlsBase64 &table, const char *&missing) {
            table.encode = reinterpret_cast<int (*)(const GnutlsDatum *, GnutlsDatum *)>(
                dlsym(handle, "gnutls_base64_encode2"));
            table.free = reinterpret_cast<void (**)(void *)>(dlsym(handle, "gnutls_free"));
            if (!table.encode || !table.free) missing = "gnutls_base64_encode2";
        },
        error);
    if (!gnutls || bytes.empty()) return "";
    const GnutlsDatum in{const_cast<unsigned char *>(bytes.data()), static_cast<unsigned int>(bytes.size())};
    GnutlsDatum out{nullptr, 0};
    if (gnutls->encode(&in, &out) != 0) return "";
    std::string text(reinterpret_cast<const char *>(out.data), out.size);
    (*gnutls->free)(out.data);
    return text;
}

}  // namespace quillbar::tool
