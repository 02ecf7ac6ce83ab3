// SPDX-License-Identifier: MIT
#include "label/glyph_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "label/cache_file.h"
#include "label/glyph_records.h"

namespace quillbar {
namespace {

using namespace glyph_records;

constexpr char kHeader[] = "quillbar-glyphs 2\t";
constexpr std::uint32_t kIndexMark = 0x32584251u;   // "QBX2"
// The index: its mark, the number of entries and where the tail starts, then
// the entries (key, offset, size), sorted by key, then its check.
constexpr std::size_t kIndexHead = 12;
constexpr std::size_t kIndexEntry = 16;
// Records appended past this are sorted into the index at the next flush.
constexpr std::size_t kMaxTailBytes = 64u << 10;
// A store past this size takes no more glyphs: loading it must stay cheaper
// than drawing what it holds.
constexpr std::size_t kMaxStoreBytes = 2u << 20;

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

GlyphStore::~GlyphStore() { close_file(); }

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

namespace {

// Reads exactly size bytes at offset into out (not cleared first: every
// byte is written); false when the file holds fewer.
bool read_raw(int fd, std::size_t offset, std::size_t size, char *out);

bool pread_all(int fd, std::size_t offset, std::size_t size, std::string &out) {
    out.resize(size);
    return read_raw(fd, offset, size, out.data());
}

bool read_raw(int fd, std::size_t offset, std::size_t size, char *out) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, out + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

std::uint64_t number_at(const char *p, int bytes) {
    std::uint64_t v = 0;
    Reader(p, static_cast<std::size_t>(bytes)).get(v, bytes);
    return v;
}

}  // namespace

namespace {
std::uint64_t pair_key(unsigned pair) { return std::uint64_t{pair & 0xFFFF} | std::uint64_t{1} << 56; }
}  // namespace

bool GlyphStore::recall(unsigned pair, char32_t &code) {
    const Glyph *kept = find(pair_key(pair));
    if (!kept || kept->top < -1 || kept->top > 0x10FFFF) return false;
    code = kept->top < 0 ? 0 : static_cast<char32_t>(kept->top);
    return true;
}

void GlyphStore::remember(unsigned pair, char32_t code) {
    Glyph g;
    g.top = code == 0 ? -1 : static_cast<int>(code);
    add(pair_key(pair), g);
}

const Glyph *GlyphStore::find(std::uint64_t key) {
    if (const auto it = glyphs_.find(key); it != glyphs_.end()) return &it->second;
    // Records of one key, the index's first, then the tail's in the order
    // written; a damaged one is passed over and the store rewritten without
    // it.
    std::vector<Entry> candidates;
    const auto key_at = [&](std::size_t i) { return number_at(index_raw_.get() + i * kIndexEntry, 8); };
    std::size_t lo = 0, hi = index_count_;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (key_at(mid) < key) lo = mid + 1;
        else hi = mid;
    }
    for (std::size_t i = lo; i < index_count_ && key_at(i) == key; ++i) {
        const char *e = index_raw_.get() + i * kIndexEntry;
        candidates.push_back(Entry{key, static_cast<std::uint32_t>(number_at(e + 8, 4)),
                                   static_cast<std::uint32_t>(number_at(e + 12, 4))});
    }
    for (auto at = std::lower_bound(tail_.begin(), tail_.end(), Entry{key, 0, 0}); at != tail_.end() && at->key == key; ++at)
        candidates.push_back(*at);
    for (const Entry &at : candidates) {
        std::string record;
        Glyph g;
        // A place is trusted only within the file as read: an entry that
        // says otherwise is damage, never a read of its size.
        const bool placed = at.size >= kSmallestRecord && at.offset >= records_start_ && at.offset <= size_ &&
                            at.size <= size_ - at.offset;
        const std::uint64_t inode = inode_;
        if (placed && !read_at(at.offset, at.size, record) && inode_ != inode) return nullptr;  // written anew meanwhile: drawn instead
        if (placed && record.size() == at.size && record_size(record.data(), record.size()) == record.size() &&
            record_key(record.data()) == key && read_record(record.data(), record.size(), g))
            return &glyphs_.emplace(key, std::move(g)).first->second;
        rewrite_ = true;
        if (!rescued_) {
            rescue();
            return find(key);
        }
    }
    return nullptr;
}

void GlyphStore::add(std::uint64_t key, const Glyph &glyph) {
    if (file_.empty() || !glyphs_.emplace(key, glyph).second) return;
    const std::string record = record_of(key, glyph);
    if (size_ + pending_.size() + record.size() <= kMaxStoreBytes)
        pending_ += record;
    else if (!evicted_)
        rewrite_ = true;  // full: written anew with this process's glyphs first, once
}


// Only the first line, the index and the tail are read: a glyph is read,
// checked and unpacked when it is first wanted, so a process that prints a
// few characters pays for those, not for all an earlier one kept. The index
// is searched as it was read, never unpacked or checked whole: a record
// checks itself, and its key, when it is read.
void GlyphStore::load() {
    close_file();
    // The file is opened again when a record is wanted.
    struct Closer {
        GlyphStore &store;
        ~Closer() { store.close_file(); }
    } closer{*this};
    index_raw_.reset();
    index_count_ = 0;
    tail_.clear();
    size_ = 0;
    records_start_ = 0;
    const std::string first = kHeader + identity_ + "\n";
    fd_ = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    std::string head;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size < 0 || static_cast<std::size_t>(st.st_size) > kMaxStoreBytes ||
        !pread_all(fd_, 0, std::min<std::size_t>(first.size(), static_cast<std::size_t>(st.st_size)), head) ||
        head != first) {
        rewrite_ = true;  // none yet, another face's, another version's, or too large: begun anew
        return;
    }
    // What another process appends meanwhile is left for the next one.
    size_ = static_cast<std::size_t>(st.st_size);
    inode_ = static_cast<std::uint64_t>(st.st_ino);
    std::string index_head;
    std::size_t tail = first.size();
    if (pread_all(fd_, first.size(), kIndexHead, index_head) && number_at(index_head.data(), 4) == kIndexMark) {
        const std::size_t count = number_at(index_head.data() + 4, 4);
        const std::size_t entries_end = first.size() + kIndexHead + count * kIndexEntry + 8;
        const std::size_t said_tail = number_at(index_head.data() + 8, 4);
        if (count <= size_ / kIndexEntry && entries_end <= said_tail && said_tail <= size_) {
            index_raw_.reset(new char[count * kIndexEntry + 1]);  // not cleared: every byte is read into
            if (read_raw(fd_, first.size() + kIndexHead, count * kIndexEntry, index_raw_.get())) {
                index_count_ = count;
                tail = said_tail;
            }
        }
        records_start_ = std::min(entries_end, size_);
        if (index_count_ == 0 && count != 0) rewrite_ = true;  // an index that cannot be used: written anew
    } else {
        rewrite_ = true;  // no index: found by walking, written with one at the next flush
        records_start_ = first.size();
    }
    if (index_count_ == 0 && tail == first.size()) tail = records_start_;
    // The records appended since, in the order written.
    std::string rest;
    if (!pread_all(fd_, tail, size_ - tail, rest)) return;
    for (std::size_t at = 0; at < rest.size();) {
        const std::size_t size = record_size(rest.data() + at, rest.size() - at);
        if (size == 0) {
            rewrite_ = true;  // torn by a write that did not finish: what came before is kept
            break;
        }
        tail_.push_back(Entry{record_key(rest.data() + at), static_cast<std::uint32_t>(tail + at),
                              static_cast<std::uint32_t>(size)});
        at += size;
    }
    std::stable_sort(tail_.begin(), tail_.end());
    tail_bytes_ = rest.size();
}

// The file the places are in, open: when the store was written anew
// meanwhile (by another process), its places are read again first, and
// false says the ones in hand are gone.
bool GlyphStore::open_file() {
    if (fd_ >= 0) return true;
    fd_ = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && static_cast<std::uint64_t>(st.st_ino) == inode_) return true;
    load();
    return false;
}

bool GlyphStore::read_at(std::size_t offset, std::size_t size, std::string &out) {
    out.clear();
    return open_file() && pread_all(fd_, offset, size, out);
}

void GlyphStore::close_file() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// Every sound record of the file, read whole into old, in the order
// written: one after another from the first, and wherever the index and the
// tail say one lies (past a damaged length, the walk loses its way).
std::vector<GlyphStore::Entry> GlyphStore::sound_records(std::string &old) {
    std::vector<Entry> found;
    if (records_start_ == 0 || !open_file() || !pread_all(fd_, 0, size_, old)) {
        old.clear();
        return found;
    }
    std::unordered_set<std::size_t> seen;
    const auto take = [&](std::size_t at) {
        const std::size_t size = at < old.size() ? record_size(old.data() + at, old.size() - at) : 0;
        Glyph g;
        if (size != 0 && seen.insert(at).second && read_record(old.data() + at, size, g))
            found.push_back(Entry{record_key(old.data() + at), static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(size)});
        return size;
    };
    for (std::size_t at = records_start_, size; at < old.size() && (size = take(at)) != 0;) at += size;
    for (std::size_t i = 0; i < index_count_; ++i) take(number_at(index_raw_.get() + i * kIndexEntry + 8, 4));
    for (const Entry &e : tail_) take(e.offset);
    std::stable_sort(found.begin(), found.end(), [](const Entry &a, const Entry &b) { return a.offset < b.offset; });
    return found;
}

// A record the index pointed to was not the one wanted: the index cannot be
// trusted, so the records are found by walking them, and the store is
// written anew at the next flush.
void GlyphStore::rescue() {
    std::string old;
    std::vector<Entry> found = sound_records(old);
    index_raw_.reset();
    index_count_ = 0;
    std::stable_sort(found.begin(), found.end());
    tail_ = std::move(found);
    rewrite_ = true;
    rescued_ = true;
}

void GlyphStore::flush() {
    if (file_.empty() || (pending_.empty() && !rewrite_)) return close_file();
    // A tail past its bound is sorted into the index: a start reads it whole.
    if (tail_bytes_ + pending_.size() > kMaxTailBytes) rewrite_ = true;
    if (!rewrite_) {
        close_file();
        const int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        const bool written = fd >= 0 && write_all(fd, pending_);
        if (fd >= 0) ::close(fd);
        if (written) {
            size_ += pending_.size();
            tail_bytes_ += pending_.size();
        }
        pending_.clear();
        return;
    }
    // Written whole, a reader sees the old store or the new one: the glyphs
    // this process used first (a full store keeps what is printed now), then
    // the other sound records read (the first of each key), as many as fit,
    // sorted by key behind their index.
    std::vector<std::pair<std::uint64_t, std::string>> records;
    std::unordered_set<std::uint64_t> kept;
    for (const auto &[key, glyph] : glyphs_) {
        kept.insert(key);
        records.emplace_back(key, record_of(key, glyph));
    }
    std::string old;  // the file as read, in one read
    for (const Entry &e : sound_records(old)) {
        if (kept.count(e.key)) continue;
        kept.insert(e.key);
        records.emplace_back(e.key, old.substr(e.offset, e.size));
    }
    close_file();
    const std::string first = kHeader + identity_ + "\n";
    // As many as fit the store's size, with their index.
    std::size_t count = 0, bytes = first.size() + kIndexHead + 8;
    while (count < records.size() && bytes + kIndexEntry + records[count].second.size() <= kMaxStoreBytes)
        bytes += kIndexEntry + records[count++].second.size();
    if (count < records.size()) evicted_ = true;
    records.resize(count);
    std::sort(records.begin(), records.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::string head, entries;
    const std::size_t records_start = first.size() + kIndexHead + count * kIndexEntry + 8;
    put(head, kIndexMark, 4);
    put(head, count, 4);
    put(head, bytes, 4);  // the tail starts after the last record
    std::size_t place = records_start;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string &r = records[i].second;
        put(entries, records[i].first, 8);
        put(entries, place, 4);
        put(entries, r.size(), 4);
        place += r.size();
    }
    std::string text = first + head + entries;
    put(text, fnv1a(entries.data(), entries.size(), fnv1a(head.data(), head.size())), 8);  // for tools; not read
    for (std::size_t i = 0; i < count; ++i) text += records[i].second;
    if (replace_file(file_, text)) {
        rewrite_ = false;
        index_count_ = count;
        index_raw_.reset(new char[entries.size() + 1]);
        std::memcpy(index_raw_.get(), entries.data(), entries.size());
        tail_.clear();
        records_start_ = records_start;
        size_ = text.size();
        tail_bytes_ = 0;
        struct stat st {};
        inode_ = ::stat(file_.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_ino) : 0;
    }
    pending_.clear();
}

}  // namespace quillbar
