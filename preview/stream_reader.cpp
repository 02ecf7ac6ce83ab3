// SPDX-License-Identifier: MIT
#include "stream_reader.h"

#include <algorithm>
#include <cstring>

#include "bounds.h"
#include "fields.h"

namespace quillbar::preview {
namespace {

}  // namespace

void StreamReader::feed(const std::uint8_t *p, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
        switch (mode_) {
        case Mode::skip_line: {
            const void *lf = std::memchr(p + i, '\n', size - i);
            i = lf ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(lf) - p) + 1 : size;
            if (lf) {
                ++line_feeds_;
                mode_ = Mode::line;
            }
            break;
        }
        case Mode::skip_bytes: {
            const std::size_t take = std::min(size - i, skip_left_);
            line_feeds_ += std::count(p + i, p + i + take, '\n');
            skip_left_ -= take;
            i += take;
            if (skip_left_ == 0) mode_ = Mode::line;
            break;
        }
        case Mode::font: {
            // A soft font: counted as its own layout says, never scanned.
            const std::size_t take = std::min(size - i, font_.need(block_));
            block_.append(reinterpret_cast<const char *>(p + i), take);
            line_feeds_ += std::count(p + i, p + i + take, '\n');
            i += take;
            if (font_.need(block_) == 0) end_font();
            break;
        }
        case Mode::block: {
            // Binary data is counted, never scanned for a line end.
            const std::size_t take = std::min(size - i, block_size_ - block_.size());
            block_.append(reinterpret_cast<const char *>(p + i), take);
            line_feeds_ += std::count(p + i, p + i + take, '\n');
            i += take;
            if (block_.size() == block_size_) end_block();
            break;
        }
        case Mode::line:
        case Mode::data_lines: {
            if (line_.empty()) {
                line_offset_ = offset_ + i;
                line_number_ = line_feeds_ + 1;
            }
            const auto *lf = static_cast<const std::uint8_t *>(std::memchr(p + i, '\n', size - i));
            const std::size_t end = lf ? static_cast<std::size_t>(lf - p) : size;
            // A command whose data follows its header at once: the header
            // ends at its last comma, wherever the line end is.
            const CommandEntry *carrier = nullptr;
            if (mode_ == Mode::line) {
                char start[8];
                const std::size_t have = std::min(line_.size(), sizeof start);
                const std::size_t more = std::min(sizeof start - have, end - i);
                std::memcpy(start, line_.data(), have);
                std::memcpy(start + have, p + i, more);
                carrier = header_data_command(start, have + more);
            }
            bool started = false;
            const HeaderEnd header = carrier ? header_end(*carrier) : HeaderEnd{',', 0};
            for (std::size_t k = i; carrier && k < end; ++k)
                if (p[k] == header.mark && ++line_commas_ == header.marks) {
                    line_.append(reinterpret_cast<const char *>(p + i), k + 1 - i);
                    i = k + 1;
                    std::string text;
                    text.swap(line_);
                    line_commas_ = 0;
                    start_data(*carrier, std::move(text), line_offset_);
                    started = true;
                    break;
                }
            if (started) break;
            if (line_.size() + (end - i) > limits::kMaxLine) {
                listener_.on_problem(line_offset_,
                                     "line longer than " + std::to_string(limits::kMaxLine) + " bytes without a line end", 1);
                line_.clear();
                line_commas_ = 0;
                if (mode_ == Mode::data_lines && --data_lines_left_ == 0) mode_ = Mode::line;
                if (lf) {
                    i = end + 1;
                    ++line_feeds_;
                } else {
                    i = end;
                    mode_ = Mode::skip_line;
                }
                break;
            }
            line_.append(reinterpret_cast<const char *>(p + i), end - i);
            i = end;
            if (lf) {
                ++i;
                ++line_feeds_;
                end_line();
            }
            break;
        }
        }
    }
    offset_ += size;
}

void StreamReader::end_line() {
    std::string text;
    text.swap(line_);
    line_commas_ = 0;
    while (!text.empty() && text.back() == '\r') text.pop_back();
    if (!text.empty() && text[0] == '\r' && mode_ != Mode::data_lines) {
        // LF CR line ends: the CR of the line before starts this one.
        text.erase(0, text.find_first_not_of('\r'));
        listener_.on_note(line_offset_, text.substr(0, 2), "LF CR line ends: the CR taken as part of the line end");
    }
    if (mode_ == Mode::data_lines) {
        const bool last = --data_lines_left_ == 0;
        if (last) mode_ = Mode::line;
        return listener_.on_data_line(std::move(text), line_offset_, last);
    }
    const CommandEntry *entry = find_command(text);
    if (entry && entry->carries == Carries::font_after_name)
        // The line ended before the name's closing quote: no font follows.
        return listener_.on_problem(line_offset_, "ES: expected ES\"n\" and the font's data straight after it: '" +
                                                      shown(text) + "' (nothing stored)", 1);
    if (entry && entry->carries != Carries::nothing)
        // A GW header that ends at its line end: the data follows it.
        return start_data(*entry, entry->carries == Carries::data_after_header ? text + "," : text, line_offset_);
    listener_.on_line(std::move(text), line_offset_, nullptr, nullptr);
}

void StreamReader::start_data(const CommandEntry &entry, std::string header, std::size_t at) {
    block_header_ = read_data_header(entry, header);
    const DataHeader &h = block_header_;
    if (!h.note.empty()) listener_.on_note(at, entry.letters, h.note);
    if (!h.problem.empty()) listener_.on_problem(at, h.problem, 1);
    if (entry.carries == Carries::data_after_header) {
        while (!header.empty() && header.back() == ',') header.pop_back();
        while (!header.empty() && header.back() == '\r') header.pop_back();
    }
    block_letters_ = entry.letters;
    block_line_ = std::move(header);
    block_offset_ = at;
    block_.clear();
    if (entry.carries == Carries::font_after_name) {
        font_ = SoftFontWalker{};
        mode_ = Mode::font;
        return;
    }
    switch (h.then) {
    case DataHeader::Then::nothing: return;
    case DataHeader::Then::skip_to_line_end: mode_ = Mode::skip_line; return;
    case DataHeader::Then::skip_bytes:
        skip_left_ = h.size;
        mode_ = h.size ? Mode::skip_bytes : Mode::line;
        return;
    case DataHeader::Then::read: break;
    }
    if (h.size > limits::kMaxBlock) {
        listener_.on_problem(at, block_letters_ + ": " + std::to_string(h.size) + " bytes of data is more than the preview keeps (" +
                                     std::to_string(limits::kMaxBlock) + "); skipped",
                             4);
        skip_left_ = h.size;
        mode_ = Mode::skip_bytes;
        return;
    }
    block_size_ = h.size;
    mode_ = Mode::block;
    if (h.size == 0) end_block();
}

void StreamReader::end_block() {
    mode_ = Mode::line;
    std::string data;
    data.swap(block_);
    block_size_ = 0;
    listener_.on_line(block_line_, block_offset_, &data, &block_header_);
}

void StreamReader::end_font() {
    mode_ = Mode::line;
    std::string data;
    data.swap(block_);
    if (!font_.error().empty()) listener_.on_problem(block_offset_, "ES: " + font_.error(), 1);
    listener_.on_line(block_line_, block_offset_, &data, &block_header_);
}

void StreamReader::expect_data_lines(long count) {
    if (count <= 0) return;
    data_lines_left_ = count;
    mode_ = Mode::data_lines;
}

void StreamReader::finish() {
    if (mode_ == Mode::block)
        listener_.on_problem(block_offset_, block_letters_ + " data cut short: " + std::to_string(block_.size()) + " of " +
                                                std::to_string(block_size_) + " bytes before the stream ended", 1);
    else if (mode_ == Mode::font)
        listener_.on_problem(block_offset_, "ES data cut short: " + std::to_string(block_.size()) +
                                                " bytes before the stream ended (nothing stored)", 1);
    else if (mode_ == Mode::skip_bytes)
        listener_.on_problem(block_offset_, block_letters_ + " data cut short: " + std::to_string(skip_left_) +
                                                " bytes still to come when the stream ended", 1);
    else if (mode_ == Mode::data_lines)
        listener_.on_problem(line_offset_, std::to_string(data_lines_left_) + " data line(s) for the form still to come", 1);
    else if (mode_ == Mode::line && !line_.empty() &&
             line_.find_first_not_of(std::string(" \t\r\0", 4)) == std::string::npos)
        listener_.on_note(line_offset_, "", "NUL bytes or blanks after the last line ignored");
    else if (mode_ == Mode::line && !line_.empty())
        listener_.on_problem(line_offset_, "the stream ends inside a line: '" + shown(line_) + "' (not run)", 1);
    mode_ = Mode::line;
    line_.clear();
    line_commas_ = 0;
    block_.clear();
    block_size_ = 0;
    skip_left_ = 0;
}

}  // namespace quillbar::preview
