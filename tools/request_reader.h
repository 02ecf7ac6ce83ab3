// SPDX-License-Identifier: MIT
// A client's requests read with http-parser as they pass to the HTTP server:
// each head is held until it is whole and parses, so that the server never
// sees one that does not; a request that does not parse gets a refusal, in
// plain text, instead.
#pragma once

#include <http_parser.h>

#include <cstddef>
#include <optional>
#include <string>

namespace quillbar::tool {

// The longest request head (request line and fields) the service reads.
constexpr std::size_t kMaxHead = 128u << 10;

class RequestReader {
public:
    struct Refusal {
        unsigned status;
        std::string why;
    };

    // Loads http-parser, once; false, with the reason, when it cannot.
    static bool load(std::string &error);
    // An answer with its status, the reason as its plain-text body, and
    // Connection: close.
    static std::string plain_answer(unsigned status, const std::string &why);

    // Only once load() succeeded.
    RequestReader();
    RequestReader(const RequestReader &) = delete;
    RequestReader &operator=(const RequestReader &) = delete;

    // Bytes from the client: what may go on to the server is appended to
    // out; a refusal for the first request that does not parse, after which
    // nothing more is taken.
    std::optional<Refusal> take(const char *data, std::size_t size, std::string &out);

private:
    Refusal refusal_for(http_errno error) const;

    http_parser parser_{};
    bool parsing_ = true;      // false after an upgrade: the bytes then pass as they are
    bool refused_ = false;
    bool in_fields_ = false;   // the head's fields have begun: an overflow is 431, not 414
    bool in_head_ = false;     // between a message's first byte and its head's end
    bool bad_version_ = false;
    enum class Stop { message_begun, head_whole } stop_{};  // where the parser paused
    std::string held_;         // the head so far

    friend struct ParserCallbacks;
};

}  // namespace quillbar::tool
