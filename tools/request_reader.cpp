// SPDX-License-Identifier: MIT
#include "request_reader.h"

#include <ctime>
#include <string_view>

#include "connection/late_library.h"

namespace quillbar::tool {
namespace {

#define QB_HTTP_PARSER_FUNCTIONS(X)                                                                         \
    X(http_parser_init) X(http_parser_execute) X(http_parser_settings_init) X(http_errno_description) \
    X(http_parser_set_max_header_size) X(http_status_str) X(http_parser_pause)

struct HttpParserLibrary {
    QB_HTTP_PARSER_FUNCTIONS(QB_LATE_POINTER)
    http_parser_settings settings;
};

const HttpParserLibrary *g_parser = nullptr;

}  // namespace

// The parser pauses where a message begins and where its head ends, so that
// each head is held until it is whole.
struct ParserCallbacks {
    static RequestReader &reader(http_parser *h) { return *static_cast<RequestReader *>(h->data); }
    static int message_begun(http_parser *h) {
        reader(h).stop_ = RequestReader::Stop::message_begun;
        g_parser->http_parser_pause(h, 1);
        return 0;
    }
    static int field(http_parser *h, const char *, std::size_t) {
        reader(h).in_fields_ = true;
        return 0;
    }
    static int head_whole(http_parser *h) {
        RequestReader &r = reader(h);
        r.bad_version_ = h->http_major != 1;
        if (r.bad_version_) return -1;
        r.stop_ = RequestReader::Stop::head_whole;
        g_parser->http_parser_pause(h, 1);
        return 0;
    }
    static int message_complete(http_parser *h) {
        reader(h).in_fields_ = false;
        return 0;
    }
};

bool RequestReader::load(std::string &error) {
    g_parser = load_late_once<HttpParserLibrary>(
        "libhttp_parser.so.2.9", "HTTP services (--http)", "http-parser", "libhttp-parser2.9",
        [](void *handle, HttpParserLibrary &table, const char *&missing) {
            QB_HTTP_PARSER_FUNCTIONS(QB_LATE_RESOLVE)
            if (missing) return;
            table.http_parser_set_max_header_size(static_cast<std::uint32_t>(kMaxHead));
            table.http_parser_settings_init(&table.settings);
            table.settings.on_message_begin = &ParserCallbacks::message_begun;
            table.settings.on_header_field = &ParserCallbacks::field;
            table.settings.on_headers_complete = &ParserCallbacks::head_whole;
            table.settings.on_message_complete = &ParserCallbacks::message_complete;
        },
        error);
    return g_parser != nullptr;
}

std::string RequestReader::plain_answer(unsigned status, const std::string &why) {
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    const std::string body = why + "\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + g_parser->http_status_str(static_cast<http_status>(status)) +
           "\r\nDate: " + date +
           "\r\nConnection: close\r\nContent-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

RequestReader::RequestReader() {
    g_parser->http_parser_init(&parser_, HTTP_REQUEST);
    parser_.data = this;
}

// The answer to a request the parser stopped at.
RequestReader::Refusal RequestReader::refusal_for(http_errno error) const {
    const std::string head_limit = std::to_string(kMaxHead >> 10) + " KB";
    if (bad_version_) return {505, "this service speaks HTTP/1.0 and HTTP/1.1"};
    switch (error) {
    case HPE_HEADER_OVERFLOW:
        return in_fields_ ? Refusal{431, "the request's head is longer than " + head_limit + ", the most this "
                                         "service reads"}
                          : Refusal{414, "the request's path is longer than " + head_limit + ", the most this "
                                         "service reads; send a long stream as a POST's body"};
    case HPE_INVALID_METHOD: return {501, "the request's method is not one HTTP has"};
    default:
        return {400, std::string("the request is not well-formed HTTP: ") + g_parser->http_errno_description(error)};
    }
}

std::optional<RequestReader::Refusal> RequestReader::take(const char *data, std::size_t size, std::string &out) {
    if (refused_) return std::nullopt;
    if (!parsing_) {
        out.append(data, size);
        return std::nullopt;
    }
    for (std::size_t at = 0; at < size;) {
        const std::size_t used = g_parser->http_parser_execute(&parser_, &g_parser->settings, data + at, size - at);
        const auto error = static_cast<http_errno>(parser_.http_errno);
        const std::string_view piece(data + at, used);
        at += used;
        if (error == HPE_PAUSED) {
            g_parser->http_parser_pause(&parser_, 0);
            if (stop_ == Stop::message_begun) {
                // The piece ends with the message's first byte.
                out.append(piece.substr(0, piece.size() - 1));
                held_.assign(piece.substr(piece.size() - 1));
                in_head_ = true;
            } else if (in_head_) {
                // The head is whole but for its last line feed, which comes
                // next.
                held_.append(piece);
                out += held_;
                held_.clear();
                in_head_ = false;
            } else {
                out.append(piece);
            }
            continue;
        }
        (in_head_ ? held_ : out).append(piece);
        if (parser_.upgrade) {
            // An upgrade or CONNECT: what follows is not HTTP, and passes.
            out += held_;
            held_.clear();
            out.append(data + at, size - at);
            parsing_ = false;
            return std::nullopt;
        }
        if (error != HPE_OK) {
            // A head that does not parse is dropped; what came before it
            // goes on, to be answered before the refusal.
            held_.clear();
            refused_ = true;
            return refusal_for(error);
        }
    }
    return std::nullopt;
}

}  // namespace quillbar::tool
