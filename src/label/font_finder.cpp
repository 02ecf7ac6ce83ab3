// SPDX-License-Identifier: MIT
#include "label/font_finder.h"

#include <fontconfig/fontconfig.h>

#include "connection/late_library.h"
#include "label/face_memory.h"

#include <cstdlib>
#include <atomic>
#include <mutex>

namespace quillbar {
namespace {

// fontconfig and the XML parser under it are opened when a face is first
// looked up that the face memory does not recall: a program whose faces
// are remembered never maps them.
#define QB_FC_FUNCTIONS(X)                                                                                           \
    X(FcCharSetHasChar) X(FcConfigBuildFonts) X(FcConfigCreate) X(FcConfigDestroy) X(FcConfigGetConfigFiles)         \
    X(FcConfigGetFontDirs) X(FcConfigParseAndLoadFromMemory) X(FcConfigSubstitute) X(FcDefaultSubstitute)            \
    X(FcFontMatch) X(FcFontSetDestroy) X(FcFontSort) X(FcInitLoadConfigAndFonts) X(FcNameParse)                      \
    X(FcPatternAddString) X(FcPatternCreate) X(FcPatternDestroy) X(FcPatternGetCharSet) X(FcPatternGetInteger)       \
    X(FcPatternGetString) X(FcStrCmpIgnoreCase) X(FcStrListDone) X(FcStrListNext)

struct FontconfigLibrary {
    QB_FC_FUNCTIONS(QB_LATE_POINTER)
};

// Set once the library is loaded; read by any thread after that.
std::atomic<const FontconfigLibrary *> g_fontconfig{nullptr};

// Loads fontconfig once; false where it cannot be (no face is found then).
bool load_fontconfig() {
    std::string error;
    const FontconfigLibrary *loaded = load_late_once<FontconfigLibrary>(
        "libfontconfig.so.1", "font lookups", "fontconfig", "libfontconfig1",
        [](void *handle, FontconfigLibrary &table, const char *&missing) { QB_FC_FUNCTIONS(QB_LATE_RESOLVE) }, error);
    g_fontconfig.store(loaded, std::memory_order_release);
    return loaded != nullptr;
}

// Only called where a configuration exists, which only a loaded fontconfig
// makes.
const FontconfigLibrary &fc() { return *g_fontconfig.load(std::memory_order_acquire); }

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
    FcConfig *config = fc().FcConfigCreate();
    if (config && fc().FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8 *>(xml.c_str()), FcFalse) &&
        fc().FcConfigBuildFonts(config))
        return config;
    if (config) fc().FcConfigDestroy(config);
    return nullptr;
}

// A standard folder as a path: "~" is the home folder, "xdg:" the XDG data
// folder.
std::string expanded(const std::string &folder) {
    const char *home = std::getenv("HOME");
    const std::string home_folder = home ? home : "";
    if (folder.compare(0, 4, "xdg:") == 0) {
        const char *data = std::getenv("XDG_DATA_HOME");
        return (data && *data == '/' ? std::string(data) : home_folder + "/.local/share") + "/" + folder.substr(4);
    }
    return folder.compare(0, 1, "~") == 0 ? home_folder + folder.substr(1) : folder;
}

void add_all(FcStrList *list, std::vector<std::string> &to, bool with_folder) {
    for (FcChar8 *item; list && (item = fc().FcStrListNext(list));) {
        std::string path = reinterpret_cast<const char *>(item);
        if (with_folder) to.push_back(path.substr(0, path.rfind('/')));
        to.push_back(std::move(path));
    }
    if (list) fc().FcStrListDone(list);
}

// What an answer found through config depends on: every font folder it
// scanned (fontconfig lists the folders below the configured ones too), and
// for the whole configuration its files, their folders and the places a
// user's own configuration would appear.
void depends(FcConfig *config, bool whole, std::vector<std::string> &on) {
    if (!config) return;
    add_all(fc().FcConfigGetFontDirs(config), on, false);
    if (!whole) return;
    add_all(fc().FcConfigGetConfigFiles(config), on, true);
    const char *config_home = std::getenv("XDG_CONFIG_HOME");
    const std::string user = config_home && *config_home == '/' ? config_home : expanded("~/.config");
    for (const char *place : {"/fontconfig", "/fontconfig/fonts.conf", "/fontconfig/conf.d"}) on.push_back(user + place);
    on.push_back(expanded("~/.fonts.conf"));
    on.push_back(expanded("~/.fonts.conf.d"));
}

std::string question_of(const char *kind, const std::vector<const char *> &names, const char *lang) {
    std::string q = kind;
    for (const char *name : names) q += std::string(name) + ",";
    return q + ";" + (lang ? lang : "");
}

bool user_chose_a_configuration() { return std::getenv("FONTCONFIG_FILE") || std::getenv("FONTCONFIG_PATH"); }

bool has_family(FcPattern *font, const char *family) {
    FcChar8 *name = nullptr;
    for (int i = 0; fc().FcPatternGetString(font, FC_FAMILY, i, &name) == FcResultMatch; ++i)
        if (fc().FcStrCmpIgnoreCase(name, reinterpret_cast<const FcChar8 *>(family)) == 0) return true;
    return false;
}

bool take_file(FcPattern *font, FontFile &out) {
    FcChar8 *file = nullptr;
    FcChar8 *family = nullptr;
    if (fc().FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch) return false;
    out.path = reinterpret_cast<const char *>(file);
    out.index = 0;
    fc().FcPatternGetInteger(font, FC_INDEX, 0, &out.index);
    out.family = fc().FcPatternGetString(font, FC_FAMILY, 0, &family) == FcResultMatch
                     ? reinterpret_cast<const char *>(family)
                     : "";
    return true;
}

FcPattern *prepared(FcConfig *config, FcPattern *pattern, const char *lang) {
    if (lang) fc().FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8 *>(lang));
    fc().FcConfigSubstitute(config, pattern, FcMatchPattern);
    fc().FcDefaultSubstitute(pattern);
    return pattern;
}

// fontconfig's aliases map many names to some other face: ask for each
// family in turn and take only a real match.
bool listed_in(FcConfig *config, const std::vector<const char *> &families, const char *lang, FontFile &out) {
    for (const char *family : families) {
        FcPattern *pattern = fc().FcPatternCreate();
        fc().FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8 *>(family));
        prepared(config, pattern, lang);
        FcResult result;
        FcPattern *font = fc().FcFontMatch(config, pattern, &result);
        const bool found = font && has_family(font, family) && take_file(font, out);
        if (font) fc().FcPatternDestroy(font);
        fc().FcPatternDestroy(pattern);
        if (found) return true;
    }
    return false;
}

class Finder {
public:
    bool listed(const std::vector<const char *> &families, const char *lang, FontFile &out) {
        std::lock_guard<std::mutex> hold(lock_);
        const std::string question = question_of("listed:", families, lang);
        if (memory_.recall(question, out)) return true;
        FcConfig *small = small_one();
        const bool in_small = small && listed_in(small, families, lang, out);
        FcConfig *whole = in_small ? nullptr : whole_one();
        if (!in_small && !(whole && listed_in(whole, families, lang, out))) return false;
        remember(question, out, whole);
        return true;
    }

    bool match(const char *text, FontFile &out) {
        std::lock_guard<std::mutex> hold(lock_);
        const std::string question = question_of("match:", {text}, nullptr);
        if (memory_.recall(question, out)) return true;
        FcConfig *whole = whole_one();
        FcPattern *pattern = whole ? fc().FcNameParse(reinterpret_cast<const FcChar8 *>(text)) : nullptr;
        if (!pattern) return false;
        FcResult result;
        FcPattern *font = fc().FcFontMatch(whole, prepared(whole, pattern, nullptr), &result);
        const bool found = font && take_file(font, out);
        if (font) fc().FcPatternDestroy(font);
        fc().FcPatternDestroy(pattern);
        if (found) remember(question, out, whole);
        return found;
    }

    bool drawing(const char *lang, const std::vector<char32_t> &has, FontFile &out) {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<std::string> codes;
        for (char32_t c : has) codes.push_back(std::to_string(static_cast<unsigned long>(c)));
        std::vector<const char *> names;
        for (const std::string &code : codes) names.push_back(code.c_str());
        const std::string question = question_of("drawing:", names, lang);
        if (memory_.recall(question, out)) return true;
        FcConfig *whole = whole_one();
        if (!whole) return false;
        FcPattern *pattern = prepared(whole, fc().FcPatternCreate(), lang);
        FcResult result;
        FcFontSet *set = fc().FcFontSort(whole, pattern, FcFalse, nullptr, &result);
        bool found = false;
        for (int i = 0; set && i < set->nfont && !found; ++i) {
            FcCharSet *chars = nullptr;
            bool all = fc().FcPatternGetCharSet(set->fonts[i], FC_CHARSET, 0, &chars) == FcResultMatch;
            for (char32_t c : has) all = all && fc().FcCharSetHasChar(chars, c);
            found = all && take_file(set->fonts[i], out);
        }
        if (set) fc().FcFontSetDestroy(set);
        fc().FcPatternDestroy(pattern);
        if (found) remember(question, out, whole);
        return found;
    }

    void set_folders(std::vector<std::string> folders) {
        std::lock_guard<std::mutex> hold(lock_);
        folders_ = std::move(folders);
        if (small_) fc().FcConfigDestroy(small_);
        small_ = nullptr;
        small_tried_ = false;
        memory_ = FaceMemory();  // its answers were found in the standard folders
    }

    void set_memory_file(std::string file) {
        std::lock_guard<std::mutex> hold(lock_);
        memory_ = FaceMemory(std::move(file));
    }

    std::string memory_file() {
        std::lock_guard<std::mutex> hold(lock_);
        return memory_.file();
    }

private:
    // The small configuration's folders are watched even when the answer
    // came from the whole one: a face that appears there would be found
    // first.
    void remember(const std::string &question, const FontFile &answer, FcConfig *whole) {
        std::vector<std::string> on;
        for (const std::string &folder : folders_) on.push_back(expanded(folder));
        depends(small_, false, on);
        depends(whole, true, on);
        memory_.remember(question, answer, on);
    }

    FcConfig *small_one() {
        if (!small_tried_) {
            small_tried_ = true;
            if (!user_chose_a_configuration() && load_fontconfig()) small_ = small_configuration(folders_);
        }
        return small_;
    }
    FcConfig *whole_one() {
        if (!whole_tried_) {
            whole_tried_ = true;
            whole_ = load_fontconfig() ? fc().FcInitLoadConfigAndFonts() : nullptr;
        }
        return whole_;
    }

    std::mutex lock_;
    std::vector<std::string> folders_ = kStandardFolders;
    // A configuration the user chose is read every time, never remembered.
    FaceMemory memory_{user_chose_a_configuration() ? std::string() : default_face_memory_file()};
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

void set_face_memory_file(std::string file) { finder().set_memory_file(std::move(file)); }

std::string face_memory_file() { return finder().memory_file(); }

}  // namespace quillbar
