// SPDX-License-Identifier: MIT
#include "label/face_memory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "label/cache_file.h"

namespace quillbar {
namespace {

const char kHeader[] = "quillbar-faces 1";

// When the path last changed, and which file it is (a file renamed over
// another changes the inode even when its time is older).
std::string stamp_of(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "-";
    return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "/" +
           std::to_string(st.st_ino);
}

bool fits_a_line(const std::string &text) { return text.find_first_of("\t\n") == std::string::npos; }

// Splits a line at its tabs into exactly n fields.
bool split(const std::string &line, std::size_t n, std::vector<std::string> &fields) {
    fields.clear();
    std::string::size_type from = 0;
    while (fields.size() + 1 < n) {
        const auto tab = line.find('\t', from);
        if (tab == std::string::npos) return false;
        fields.push_back(line.substr(from, tab - from));
        from = tab + 1;
    }
    fields.push_back(line.substr(from));
    return true;
}

}  // namespace

void FaceMemory::load() {
    loaded_ = true;
    FILE *in = file_.empty() ? nullptr : std::fopen(file_.c_str(), "re");
    if (!in) return;
    std::vector<std::string> lines;
    char *buffer = nullptr;
    std::size_t capacity = 0;
    for (ssize_t n; (n = ::getline(&buffer, &capacity, in)) > 0;)
        lines.emplace_back(buffer, buffer[n - 1] == '\n' ? n - 1 : n);
    std::free(buffer);
    std::fclose(in);
    if (lines.empty() || lines[0] != kHeader) return;

    std::map<std::string, std::string> stamps;
    std::map<std::string, FontFile> answers;
    std::vector<std::string> f;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (split(lines[i], 3, f) && f[0] == "w") {
            if (stamp_of(f[2]) != f[1]) return;  // something changed: forget it all
            stamps[f[2]] = f[1];
        } else if (split(lines[i], 5, f) && f[0] == "f" && !f[4].empty()) {
            char *end = nullptr;
            const long index = std::strtol(f[2].c_str(), &end, 10);
            if (end == f[2].c_str() || *end || index < 0 || index > 0xFFFF) return;
            answers[f[1]] = FontFile{f[4], static_cast<int>(index), f[3]};
        } else {
            return;  // not a file of ours
        }
    }
    stamps_ = std::move(stamps);
    answers_ = std::move(answers);
}

bool FaceMemory::recall(const std::string &question, FontFile &out) {
    if (!loaded_) load();
    auto it = answers_.find(question);
    // The face itself must still be there; a stale answer is asked again.
    if (it == answers_.end() || ::access(it->second.path.c_str(), R_OK) != 0) return false;
    out = it->second;
    return true;
}

void FaceMemory::remember(const std::string &question, const FontFile &answer,
                          const std::vector<std::string> &depends_on) {
    if (!loaded_) load();
    if (file_.empty() || !fits_a_line(question) || !fits_a_line(answer.path) || !fits_a_line(answer.family))
        return;
    for (const std::string &path : depends_on)
        if (fits_a_line(path) && !stamps_.count(path)) stamps_[path] = stamp_of(path);
    answers_[question] = answer;

    std::string text = std::string(kHeader) + "\n";
    for (const auto &[path, stamp] : stamps_) text += "w\t" + stamp + "\t" + path + "\n";
    for (const auto &[q, face] : answers_)
        text += "f\t" + q + "\t" + std::to_string(face.index) + "\t" + face.family + "\t" + face.path + "\n";
    replace_file(file_, text);
}

std::string default_face_memory_file() {
    const char *cache = std::getenv("XDG_CACHE_HOME");
    if (cache && *cache == '/') return std::string(cache) + "/quillbar/faces";
    const char *home = std::getenv("HOME");
    if (home && *home == '/') return std::string(home) + "/.cache/quillbar/faces";
    return std::string();
}

}  // namespace quillbar
