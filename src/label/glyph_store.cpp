// SPDX-License-Identifier: MIT
#include "label/glyph_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unordered_set>

#include "label/cache_file.h"

namespace quillbar {
namespace {

constexpr char kHeader[] = "quillbar-glyphs 1\t";
constexpr std::uint32_t kRecordMark = 0x31474251u;  // "QBG1"
// A store past this size takes no more glyphs: loading it must stay cheaper
// than drawing what it holds.
constexpr std::size_t kMaxStoreBytes = 2u << 20;
constexpr int kLargestCell = 0xFFFF;

std::uint64_t fnv1a(const char *data, std::size_t size, std::uint64_t h = 0xcbf29ce484222325u) {
    for (std::size_t i = 0; i < size; ++i) h = (h ^ static_cast<unsigned char>(data[i])) * 0x100000001b3u;
    return h;
}

void put(std::string &out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

// Reads little-endian numbers from a run of bytes; false once it runs out.
class Reader {
public:
    Reader(const char *data, std::size_t size) : at_(data), end_(data + size) {}
    bool get(std::uint64_t &value, int bytes) {
        if (end_ - at_ < bytes) return false;
        value = 0;
        for (int i = 0; i < bytes; ++i) value |= std::uint64_t{static_cast<unsigned char>(at_[i])} << (8 * i);
        at_ += bytes;
        return true;
    }
    bool get(std::int64_t &value, int bytes) {
        std::uint64_t u = 0;
        if (!get(u, bytes)) return false;
        const int shift = 64 - 8 * bytes;
        value = static_cast<std::int64_t>(u << shift) >> shift;  // sign-extended
        return true;
    }
    const char *at() const { return at_; }
    std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }
    void skip(std::size_t n) { at_ += n; }

private:
    const char *at_;
    const char *end_;
};

std::string record_of(std::uint64_t key, const Glyph &g) {
    std::string body;
    put(body, key, 8);
    put(body, static_cast<std::uint32_t>(g.left), 4);
    put(body, static_cast<std::uint32_t>(g.top), 4);
    put(body, static_cast<std::uint32_t>(g.width), 4);
    put(body, static_cast<std::uint32_t>(g.rows), 4);
    put(body, static_cast<std::uint64_t>(g.clipped), 8);
    body.append(reinterpret_cast<const char *>(g.dots.data()), g.dots.size());
    std::string record;
    put(record, kRecordMark, 4);
    put(record, body.size(), 4);
    record += body;
    put(record, fnv1a(body.data(), body.size()), 8);
    return record;
}

// The size of the record at the start of data, or 0 when no whole record
// starts there. Its check is not read: that is left until it is wanted.
std::size_t record_size(const char *data, std::size_t size) {
    Reader r(data, size);
    std::uint64_t mark = 0, body = 0;
    if (!r.get(mark, 4) || mark != kRecordMark || !r.get(body, 4) || body < 32 || r.left() < body + 8) return 0;
    return 8 + body + 8;
}

std::uint64_t record_key(const char *record) {
    std::uint64_t key = 0;
    Reader(record + 8, 8).get(key, 8);
    return key;
}

// The glyph in a whole record (record_size said so), or false when its check
// or its sizes do not hold.
bool read_record(const char *record, std::size_t size, Glyph &g) {
    const char *body = record + 8;
    const std::size_t body_size = size - 16;
    std::uint64_t check = 0;
    Reader(body + body_size, 8).get(check, 8);
    if (check != fnv1a(body, body_size)) return false;
    Reader b(body + 8, body_size - 8);
    std::int64_t left = 0, top = 0, width = 0, rows = 0, clipped = 0;
    b.get(left, 4), b.get(top, 4), b.get(width, 4), b.get(rows, 4), b.get(clipped, 8);
    if (width < 0 || rows < 0 || width > kLargestCell * 2 || rows > kLargestCell) return false;
    const std::size_t row_bytes = static_cast<std::size_t>(width + 7) / 8;
    if (b.left() != row_bytes * static_cast<std::size_t>(rows)) return false;
    g.left = static_cast<int>(left);
    g.top = static_cast<int>(top);
    g.width = static_cast<int>(width);
    g.rows = static_cast<int>(rows);
    g.row_bytes = row_bytes;
    g.clipped = static_cast<long>(clipped);
    g.dots.assign(reinterpret_cast<const std::uint8_t *>(b.at()), reinterpret_cast<const std::uint8_t *>(b.at()) + b.left());
    return true;
}

}  // namespace

GlyphStore::GlyphStore(const std::string &folder, const std::string &face_path, int face_index) {
    struct stat st {};
    if (folder.empty() || ::stat(face_path.c_str(), &st) != 0) return;
    identity_ = face_path + "\t" + std::to_string(face_index) + "\t" + std::to_string(st.st_size) + "\t" +
                std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "\t" +
                std::to_string(st.st_ino);
    if (identity_.find('\n') != std::string::npos) return;
    const std::string name = face_path + '\0' + std::to_string(face_index);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a(name.data(), name.size())));
    file_ = folder + "/glyphs-" + hex;
    load();
}

bool GlyphStore::glyph_key(char32_t code, int cell_width, int cell_height, bool bold, bool italic,
                           std::uint64_t &key) {
    if (code > 0x10FFFF || cell_width < 0 || cell_width > kLargestCell || cell_height < 0 || cell_height > kLargestCell)
        return false;
    key = std::uint64_t{code} | std::uint64_t(cell_width) << 21 | std::uint64_t(cell_height) << 37 |
          std::uint64_t{bold} << 53 | std::uint64_t{italic} << 54;
    return true;
}

bool GlyphStore::baseline_key(int cell_height, std::uint64_t &key) {
    if (cell_height < 0 || cell_height > kLargestCell) return false;
    key = std::uint64_t(cell_height) << 37 | std::uint64_t{1} << 55;
    return true;
}

const Glyph *GlyphStore::find(std::uint64_t key) {
    if (const auto it = glyphs_.find(key); it != glyphs_.end()) return &it->second;
    // Records of one key, first written first; a damaged one is passed over
    // and the store rewritten without it.
    for (auto at = std::lower_bound(index_.begin(), index_.end(), Entry{key, 0}); at != index_.end() && at->key == key;
         ++at) {
        Glyph g;
        if (read_record(text_.data() + at->offset, record_size(text_.data() + at->offset, text_.size() - at->offset), g))
            return &glyphs_.emplace(key, std::move(g)).first->second;
        rewrite_ = true;
    }
    return nullptr;
}

void GlyphStore::add(std::uint64_t key, const Glyph &glyph) {
    if (file_.empty() || !glyphs_.emplace(key, glyph).second) return;
    const std::string record = record_of(key, glyph);
    if (size_ + pending_.size() + record.size() <= kMaxStoreBytes) pending_ += record;
}

// The file is read whole, but only the records' places are taken: a glyph
// is checked and unpacked when it is first wanted, so a process that prints
// a few characters pays for those, not for all an earlier one kept.
void GlyphStore::load() {
    text_.clear();
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size >= 0 && static_cast<std::size_t>(st.st_size) <= kMaxStoreBytes) {
        // What another process appends meanwhile is left for the next one.
        text_.resize(static_cast<std::size_t>(st.st_size));
        std::size_t got = 0;
        for (ssize_t n; got < text_.size() && (n = ::read(fd, &text_[got], text_.size() - got)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            got += static_cast<std::size_t>(n);
        }
        text_.resize(got);
    }
    if (fd >= 0) ::close(fd);
    index();
}

void GlyphStore::index() {
    index_.clear();
    const std::string first = kHeader + identity_ + "\n";
    if (text_.compare(0, first.size(), first) != 0) {
        text_.clear();
        rewrite_ = true;  // none yet, another face's, or too large: begun anew
        return;
    }
    for (std::size_t at = first.size(); at < text_.size();) {
        const std::size_t size = record_size(text_.data() + at, text_.size() - at);
        if (size == 0) {
            rewrite_ = true;  // torn by a write that did not finish: what came before is kept
            break;
        }
        index_.push_back(Entry{record_key(text_.data() + at), static_cast<std::uint32_t>(at)});
        at += size;
    }
    std::stable_sort(index_.begin(), index_.end());
    size_ = text_.size();
}

void GlyphStore::flush() {
    if (file_.empty() || (pending_.empty() && !rewrite_)) return;
    if (!rewrite_) {
        const int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        const bool written = fd >= 0 && write_all(fd, pending_);
        if (fd >= 0) ::close(fd);
        if (written) size_ += pending_.size();
        pending_.clear();
        return;
    }
    // Rewritten whole, a reader sees the old store or the new one: first the
    // sound records read, as they were written, then the glyphs kept since.
    std::string text = kHeader + identity_ + "\n";
    std::vector<Entry> kept = index_;
    std::sort(kept.begin(), kept.end(), [](const Entry &a, const Entry &b) { return a.offset < b.offset; });
    std::unordered_set<std::uint64_t> written;
    for (const Entry &e : kept) {
        const std::size_t size = record_size(text_.data() + e.offset, text_.size() - e.offset);
        Glyph g;
        if (written.count(e.key) || !read_record(text_.data() + e.offset, size, g)) continue;
        if (text.size() + size > kMaxStoreBytes) break;
        text.append(text_, e.offset, size);
        written.insert(e.key);
    }
    for (const auto &[key, glyph] : glyphs_) {
        if (written.count(key)) continue;
        const std::string record = record_of(key, glyph);
        if (text.size() + record.size() > kMaxStoreBytes) break;
        text += record;
    }
    if (replace_file(file_, text)) {
        rewrite_ = false;
        text_ = std::move(text);
        index();  // the records' places in what was written
    }
    pending_.clear();
}

}  // namespace quillbar
