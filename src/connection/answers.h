// SPDX-License-Identifier: MIT
// The printer's answers to "^ee", read from whatever comes back on the line.
// What comes back is input from outside (a printer, or anything posing as
// one on the network): it is bounded, and nothing in it is trusted.
#pragma once

#include <cstddef>
#include <string>

namespace quillbar {

// How urgently a printer's code needs the operator (the list's urgency);
// codes the list does not name count as the application's to mend.
int status_urgency(int code);

// An ^ee answer line ("00", "07", "07,11"; after 07 the labels left may
// follow as "Pnnn"), without its line end: the code most in need of the
// operator, or false for a line that is no answer.
bool parse_status_answer(const std::string &line, int &code);

// Collects the bytes of a reply and hands out its answers line by line.
class AnswerReader {
public:
    // Flow control and acknowledgements (ACK, NAK, XON, XOFF) between
    // lines are dropped; any other byte that cannot belong to an answer (a
    // NUL, a control character) spoils the line it is in, never vanishes
    // from it. A line that never ends is kept to its last kMaxLine bytes.
    void add(const char *data, std::size_t size);
    // The next whole line that is an answer, passing over lines that are
    // none (an ACK, a configuration line the application asked for).
    bool next(int &code);
    // Drops a line begun and not ended.
    void drop_unfinished();

    static constexpr std::size_t kMaxLine = 4096;

private:
    std::string unread_;
};

}  // namespace quillbar
