// SPDX-License-Identifier: MIT
// Reads an EPL2 stream as it arrives, in pieces of any size: command lines
// (line end removed), the binary data of GW, GM and ES counted rather than
// scanned, and the data lines that follow a form's '?'. What each command
// carries is the command table's to say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "command_table.h"
#include "soft_fonts.h"

namespace quillbar::preview {

class StreamReader {
public:
    class Listener {
    public:
        // A command line; data and header with the binary data that came
        // with it (null for none).
        virtual void on_line(std::string text, std::size_t at, const std::string *data, const DataHeader *header) = 0;
        // A data line after '?'; last for the last one expected.
        virtual void on_data_line(std::string text, std::size_t at, bool last) = 0;
        virtual void on_problem(std::size_t at, const std::string &message, int code) = 0;
        virtual void on_note(std::size_t at, const std::string &command, const std::string &what) = 0;

    protected:
        ~Listener() = default;
    };

    explicit StreamReader(Listener &listener) : listener_(listener) {}

    void feed(const std::uint8_t *p, std::size_t size);
    // The stream ended: whatever is left half read is reported.
    void finish();
    // The next count lines are a form's data, never commands.
    void expect_data_lines(long count);
    // Where the next byte fed lies in the stream.
    std::size_t offset() const { return offset_; }
    // The line, counted from 1 by line feeds (data included), that the line
    // being read, or the data block, starts on.
    long line() const { return line_number_; }

private:
    enum class Mode { line, block, font, skip_bytes, skip_line, data_lines };

    void end_line();
    void start_data(const CommandEntry &entry, std::string header, std::size_t at);
    void end_block();
    void end_font();

    Listener &listener_;
    Mode mode_ = Mode::line;
    std::size_t offset_ = 0;  // of the next byte fed
    std::string line_;
    std::size_t line_offset_ = 0;
    int line_commas_ = 0;
    std::string block_;           // binary data being read
    std::size_t block_size_ = 0;  // bytes the header announced
    std::size_t skip_left_ = 0;   // bytes still to skip
    std::size_t block_offset_ = 0;
    std::string block_letters_;   // the command the data belongs to
    std::string block_line_;      // its line
    DataHeader block_header_;
    SoftFontWalker font_;         // an ES block's layout, while it is read
    long data_lines_left_ = 0;
    long line_feeds_ = 0;    // before the next byte fed
    long line_number_ = 1;   // of line_offset_
};

}  // namespace quillbar::preview
