// SPDX-License-Identifier: MIT
#include "connection/answers.h"

#include <cctype>

namespace quillbar {

int status_urgency(int code) {
    switch (code) {
#define QB_STATUS(code, name, urgency, faults, meaning) \
    case code: return urgency;
#include "status_codes.def"
#undef QB_STATUS
    default: return 10;
    }
}

bool parse_status_answer(const std::string &line, int &code) {
    if (line.empty()) return false;
    code = 0;
    std::size_t i = 0;
    bool any = false;
    while (i <= line.size()) {
        std::size_t end = line.find(',', i);
        if (end == std::string::npos) end = line.size();
        const std::string field = line.substr(i, end - i);
        if (field.size() == 2 && std::isdigit(static_cast<unsigned char>(field[0])) &&
            std::isdigit(static_cast<unsigned char>(field[1]))) {
            const int c = (field[0] - '0') * 10 + (field[1] - '0');
            if (!any || status_urgency(c) > status_urgency(code)) code = c;
            any = true;
        } else if (!(any && field.size() > 1 && field[0] == 'P' &&
                     field.find_first_not_of("0123456789", 1) == std::string::npos)) {
            return false;
        }
        if (end == line.size()) break;
        i = end + 1;
    }
    return any;
}

void AnswerReader::add(const char *data, std::size_t size) {
    for (std::size_t k = 0; k < size; ++k) {
        const char c = data[k];
        if (c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7F))
            unread_ += c;
        else if (c != 0x06 && c != 0x15 && c != 0x11 && c != 0x13)
            unread_ += '\x7F';  // no answer holds it: the line is none
    }
    // Only the last line can be unfinished: keep its end.
    const std::size_t last = unread_.rfind('\n');
    const std::size_t tail = last == std::string::npos ? unread_.size() : unread_.size() - last - 1;
    if (tail > kMaxLine) unread_.erase(unread_.size() - tail, tail - kMaxLine);
}

void AnswerReader::drop_unfinished() {
    const std::size_t last = unread_.rfind('\n');
    unread_.erase(last == std::string::npos ? 0 : last + 1);
}

bool AnswerReader::next(int &code) {
    for (std::size_t end; (end = unread_.find('\n')) != std::string::npos;) {
        std::string line = unread_.substr(0, end);
        unread_.erase(0, end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (parse_status_answer(line, code)) return true;
    }
    return false;
}

}  // namespace quillbar
