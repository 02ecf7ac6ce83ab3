// SPDX-License-Identifier: MIT
#include "label/font_finder.h"

#include <fontconfig/fontconfig.h>

#include <cstdlib>
#include <mutex>

namespace quillbar {
namespace {

// Where Debian's fonts.conf looks for fonts and keeps its caches.
const std::vector<std::string> kStandardFolders = {"/usr/share/fonts", "/usr/local/share/fonts", "xdg:fonts",
                                                   "~/.fonts"};
const char *const kCacheFolders =
    "<cachedir>/var/cache/fontconfig</cachedir><cachedir prefix=\"xdg\">fontconfig</cachedir>"
    "<cachedir>~/.fontconfig</cachedir>";

std::string escaped(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

FcConfig *small_configuration(const std::vector<std::string> &folders) {
    std::string xml = "<?xml version=\"1.0\"?><fontconfig>";
    for (const std::string &folder : folders)
        xml += folder.compare(0, 4, "xdg:") == 0 ? "<dir prefix=\"xdg\">" + escaped(folder.substr(4)) + "</dir>"
                                                 : "<dir>" + escaped(folder) + "</dir>";
    xml += kCacheFolders;
    xml += "</fontconfig>";
    FcConfig *config = FcConfigCreate();
    if (config && FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8 *>(xml.c_str()), FcFalse) &&
        FcConfigBuildFonts(config))
        return config;
    if (config) FcConfigDestroy(config);
    return nullptr;
}

bool user_chose_a_configuration() { return std::getenv("FONTCONFIG_FILE") || std::getenv("FONTCONFIG_PATH"); }

bool has_family(FcPattern *font, const char *family) {
    FcChar8 *name = nullptr;
    for (int i = 0; FcPatternGetString(font, FC_FAMILY, i, &name) == FcResultMatch; ++i)
        if (FcStrCmpIgnoreCase(name, reinterpret_cast<const FcChar8 *>(family)) == 0) return true;
    return false;
}

bool take_file(FcPattern *font, FontFile &out) {
    FcChar8 *file = nullptr;
    FcChar8 *family = nullptr;
    if (FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch) return false;
    out.path = reinterpret_cast<const char *>(file);
    out.index = 0;
    FcPatternGetInteger(font, FC_INDEX, 0, &out.index);
    out.family = FcPatternGetString(font, FC_FAMILY, 0, &family) == FcResultMatch
                     ? reinterpret_cast<const char *>(family)
                     : "";
    return true;
}

FcPattern *prepared(FcConfig *config, FcPattern *pattern, const char *lang) {
    if (lang) FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8 *>(lang));
    FcConfigSubstitute(config, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    return pattern;
}

// fontconfig's aliases map many names to some other face: ask for each
// family in turn and take only a real match.
bool listed_in(FcConfig *config, const std::vector<const char *> &families, const char *lang, FontFile &out) {
    for (const char *family : families) {
        FcPattern *pattern = FcPatternCreate();
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8 *>(family));
        prepared(config, pattern, lang);
        FcResult result;
        FcPattern *font = FcFontMatch(config, pattern, &result);
        const bool found = font && has_family(font, family) && take_file(font, out);
        if (font) FcPatternDestroy(font);
        FcPatternDestroy(pattern);
        if (found) return true;
    }
    return false;
}

class Finder {
public:
    bool listed(const std::vector<const char *> &families, const char *lang, FontFile &out) {
        std::lock_guard<std::mutex> hold(lock_);
        if (FcConfig *small = small_one(); small && listed_in(small, families, lang, out)) return true;
        FcConfig *whole = whole_one();
        return whole && listed_in(whole, families, lang, out);
    }

    bool match(const char *text, FontFile &out) {
        std::lock_guard<std::mutex> hold(lock_);
        FcConfig *whole = whole_one();
        FcPattern *pattern = whole ? FcNameParse(reinterpret_cast<const FcChar8 *>(text)) : nullptr;
        if (!pattern) return false;
        FcResult result;
        FcPattern *font = FcFontMatch(whole, prepared(whole, pattern, nullptr), &result);
        const bool found = font && take_file(font, out);
        if (font) FcPatternDestroy(font);
        FcPatternDestroy(pattern);
        return found;
    }

    bool drawing(const char *lang, const std::vector<char32_t> &has, FontFile &out) {
        std::lock_guard<std::mutex> hold(lock_);
        FcConfig *whole = whole_one();
        if (!whole) return false;
        FcPattern *pattern = prepared(whole, FcPatternCreate(), lang);
        FcResult result;
        FcFontSet *set = FcFontSort(whole, pattern, FcFalse, nullptr, &result);
        bool found = false;
        for (int i = 0; set && i < set->nfont && !found; ++i) {
            FcCharSet *chars = nullptr;
            bool all = FcPatternGetCharSet(set->fonts[i], FC_CHARSET, 0, &chars) == FcResultMatch;
            for (char32_t c : has) all = all && FcCharSetHasChar(chars, c);
            found = all && take_file(set->fonts[i], out);
        }
        if (set) FcFontSetDestroy(set);
        FcPatternDestroy(pattern);
        return found;
    }

    void set_folders(std::vector<std::string> folders) {
        std::lock_guard<std::mutex> hold(lock_);
        folders_ = std::move(folders);
        if (small_) FcConfigDestroy(small_);
        small_ = nullptr;
        small_tried_ = false;
    }

private:
    FcConfig *small_one() {
        if (!small_tried_) {
            small_tried_ = true;
            if (!user_chose_a_configuration()) small_ = small_configuration(folders_);
        }
        return small_;
    }
    FcConfig *whole_one() {
        if (!whole_tried_) {
            whole_tried_ = true;
            whole_ = FcInitLoadConfigAndFonts();
        }
        return whole_;
    }

    std::mutex lock_;
    std::vector<std::string> folders_ = kStandardFolders;
    FcConfig *small_ = nullptr;
    FcConfig *whole_ = nullptr;
    bool small_tried_ = false;
    bool whole_tried_ = false;
};

// Never destroyed: a lookup from a static destructor or atexit handler still
// finds it.
Finder &finder() {
    static Finder *const f = new Finder();
    return *f;
}

}  // namespace

bool find_listed_font(const std::vector<const char *> &families, const char *lang, FontFile &out) {
    return finder().listed(families, lang, out);
}

bool match_font(const char *pattern, FontFile &out) { return finder().match(pattern, out); }

bool find_font_drawing(const char *lang, const std::vector<char32_t> &has, FontFile &out) {
    return finder().drawing(lang, has, out);
}

void set_standard_font_folders(std::vector<std::string> folders) { finder().set_folders(std::move(folders)); }

}  // namespace quillbar
