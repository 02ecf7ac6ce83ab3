// SPDX-License-Identifier: MIT
// The web service's requests: the routes, the label API's requests taken
// whole (a body read before a worker renders it), and the refusals.
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "http_impl.h"

namespace quillbar::tool {
namespace {

bool method_is(const char *method, const char *name) { return std::strcmp(method, name) == 0; }

std::string format_rate(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", rate);
    return text;
}

int host_headers(MHD_Connection *c) {
    int count = 0;
    const auto each = [](void *cls, MHD_ValueKind, const char *key, const char *) {
        if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0) ++*static_cast<int *>(cls);
        return MHD_YES;
    };
    mhd().MHD_get_connection_values(c, MHD_HEADER_KIND, +each, &count);
    return count;
}

// What the service serves: a path (a prefix when it ends in '/'), the
// methods it takes there, and who answers.
struct Route {
    std::string_view path;
    const char *allow;
    MHD_Result (HttpService::Impl::*serve)(MHD_Connection *, const char *method, std::string_view path, void **context);
};

constexpr Route kRoutes[] = {
    {"/", "GET, HEAD", &HttpService::Impl::serve_page},
    {"/index.html", "GET, HEAD", &HttpService::Impl::serve_page},
    {"/page/", "GET, HEAD", &HttpService::Impl::serve_page},
    {"/v1/commands", "GET, HEAD", &HttpService::Impl::serve_commands},
    {"/healthz", "GET, HEAD", &HttpService::Impl::serve_health},
    {"/metrics", "GET, HEAD", &HttpService::Impl::serve_metrics},
    {"/favicon.ico", "GET, HEAD", &HttpService::Impl::serve_no_icon},
    {"/v1/printer/events", "GET, HEAD", &HttpService::Impl::serve_events},
    {"/v1/printer/labels/", "GET, HEAD", &HttpService::Impl::serve_printed},
    {"/v1/printers/", "GET, HEAD, POST", &HttpService::Impl::serve_labels},
};

const Route *route_for(std::string_view path) {
    for (const Route &r : kRoutes)
        if (r.path == path || (r.path.size() > 1 && r.path.back() == '/' && path.rfind(r.path, 0) == 0)) return &r;
    return nullptr;
}

// Whether a route's Allow list ("GET, HEAD, POST") has the method.
bool allows(const char *allow, const char *method) {
    const std::string_view list = allow, name = method;
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t end = std::min(list.find(", ", at), list.size());
        if (list.substr(at, end - at) == name) return true;
        at = end + 2;
    }
    return false;
}

}  // namespace

MHD_Result HttpService::Impl::handle(MHD_Connection *c, const char *url, const char *method, const char *version,
                                     const char *upload, std::size_t *size, void **context) {
    if (auto *r = static_cast<Request *>(*context)) return go_on(*r, upload, size);
    // The head is whole: from now on the body and the answer have their
    // deadline.
    if (ConnectionGuard::Peer *peer = peer_of(c)) guard.head_read(peer, Clock::now());
    // HTTP/1.1 names its host once; HTTP/1.0 may leave it out.
    const int hosts = host_headers(c);
    if (hosts > 1 || (hosts == 0 && !method_is(version, MHD_HTTP_VERSION_1_0)))
        return refuse_early(c, context, 400,
                            hosts ? "the request names its Host more than once" : "an HTTP/1.1 request must name its Host");
    if (loopback && !local_host_name(mhd().MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST)))
        return refuse_early(c, context, 421, "this service answers to localhost and loopback addresses only");
    const std::string_view path = url;
    const Route *route = route_for(path);
    if (!route)
        return refuse_early(c, context, 404, "nothing here; the labels are at /v1/printers/{8|12}dpmm/labels/{W}x{H}/");
    if (!allows(route->allow, method))
        return refuse_early(c, context, 405, std::string(method) + " is not served here", {{"Allow", route->allow}});
    return (this->*route->serve)(c, method, path, context);
}

// The page and its parts: scripts and styles only from here (the editor
// sets styles from its script), pictures from here or made in the page.
MHD_Result HttpService::Impl::serve_page(MHD_Connection *c, const char *, std::string_view path, void **) {
    const std::string_view name = path.rfind("/page/", 0) == 0 ? path.substr(6) : "index.html";
    for (std::size_t i = 0; i < kPagePartCount; ++i)
        if (name == kPageParts[i].name)
            return send_answer(c, 200, kPageParts[i].content_type, kPageParts[i].body,
                               {{"Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self' "
                                                            "'unsafe-inline'; img-src 'self' blob: data:; connect-src "
                                                            "'self'; frame-ancestors 'none'"},
                                {"Cache-Control", "no-cache"}});
    return refuse(c, 404, "the page has no part " + std::string(name));
}

// What every command does and takes, for the page's help: the printer's
// own command table.
MHD_Result HttpService::Impl::serve_commands(MHD_Connection *c, const char *, std::string_view, void **) {
    return send_answer(c, 200, "application/json", commands_json(), {{"Cache-Control", "no-cache"}});
}

// The page has no icon; browsers ask all the same.
MHD_Result HttpService::Impl::serve_no_icon(MHD_Connection *c, const char *, std::string_view, void **) {
    return send_answer(c, 204, "image/x-icon", "", {{"Cache-Control", "max-age=86400"}});
}

// For a load balancer or systemd: the service answers; how busy it is.
MHD_Result HttpService::Impl::serve_health(MHD_Connection *c, const char *, std::string_view, void **) {
    return send_answer(c, 200, "text/plain; charset=utf-8",
                       "ok\nconnections " + std::to_string(guard.connections()) + "\nwaiting " +
                           std::to_string(renders_waiting()) + "\n",
                       {{"Cache-Control", "no-store"}});
}

// For Prometheus: answers by status, render times, labels printed, refusals.
MHD_Result HttpService::Impl::serve_metrics(MHD_Connection *c, const char *, std::string_view, void **) {
    if (!settings.metrics)
        return refuse(c, 404, "this quillbar-preview has no metrics: they come from quillbar-preview-web, which "
                              "was not found beside it");
    return send_answer(c, 200, "text/plain; version=0.0.4; charset=utf-8",
                       settings.metrics->text(guard.connections(), renders_waiting()), {{"Cache-Control", "no-store"}});
}

MHD_Result HttpService::Impl::serve_events(MHD_Connection *c, const char *, std::string_view, void **) {
    // An event stream is open as long as the page is: no deadline.
    if (ConnectionGuard::Peer *peer = peer_of(c)) guard.working(peer, Clock::now());
    return feed.subscribe(c);
}

MHD_Result HttpService::Impl::serve_printed(MHD_Connection *c, const char *, std::string_view path, void **) {
    return feed.image(c, path.substr(std::strlen("/v1/printer/labels/")));
}

// The label API: the request's path, Accept and options now, its body as it
// comes (go_on), and a worker's render once it is whole.
MHD_Result HttpService::Impl::serve_labels(MHD_Connection *c, const char *method, std::string_view path,
                                           void **context) {
    const auto header = [c](const char *name) { return mhd().MHD_lookup_connection_value(c, MHD_HEADER_KIND, name); };
    ConnectionGuard::Peer *peer = peer_of(c);
    if (const std::optional<long> wait = peer ? guard.over_rate(peer, Clock::now()) : std::nullopt)
        return refuse_early(c, context, 429,
                            "this address asks for more than " + format_rate(settings.guard.rate) +
                                " renders a second (--http-rate); try again in " + std::to_string(*wait) + " s",
                            {{"Retry-After", std::to_string(*wait)}});
    const bool read_only = !method_is(method, "POST");
    auto request = std::make_unique<Request>();
    request->connection = c;
    request->peer = peer;
    request->service = this;
    std::string why;
    if (!parse_label_path(path, request->path, why)) return refuse_early(c, context, 400, why);
    const std::optional<Format> format = choose_format(header(MHD_HTTP_HEADER_ACCEPT));
    if (!format) return refuse_early(c, context, 406, "the answers are image/png, application/pdf and application/json");
    request->format = *format;
    if (!parse_render_options(header, request->options, why)) return refuse_early(c, context, 400, why);
    if (read_only) {
        request->body = std::move(request->path.stream);
    } else {
        if (!request->path.stream.empty())
            return refuse_early(c, context, 400, "a POST's stream is its body, not in its path");
        const char *type = header(MHD_HTTP_HEADER_CONTENT_TYPE);
        if (!takes_content_type(type))
            return refuse_early(c, context, 415,
                                "the body is the stream as it is (text/plain, application/octet-stream, application/"
                                "x-www-form-urlencoded) or a multipart/form-data file part, not " + std::string(type));
        const char *length = header(MHD_HTTP_HEADER_CONTENT_LENGTH);
        // Over the limit: refused at once when the client waits to be told
        // (Expect: 100-continue) or the body is far over; else it is read
        // and dropped, so that a client that sends it whole still reads the
        // answer.
        const unsigned long long announced = length ? std::strtoull(length, nullptr, 10) : 0;
        if (announced > settings.max_body && (header(MHD_HTTP_HEADER_EXPECT) || announced / 8 > settings.max_body))
            return too_large(c);
        request->too_large = announced > settings.max_body;
        if (type && strncasecmp(type, "multipart/form-data", 19) == 0) {
            request->multipart = true;
            request->parts = mhd().MHD_create_post_processor(c, 64 * 1024, &Impl::file_part, request.get());
            if (!request->parts) return refuse_early(c, context, 400, "the multipart body has no boundary");
        }
    }
    Request *r = request.release();
    *context = r;
    // A GET has no body to wait for.
    return read_only ? submit(*r) : MHD_YES;
}

MHD_Result HttpService::Impl::go_on(Request &r, const char *upload, std::size_t *size) {
    if (r.stage == Stage::answered) {
        r.stage = Stage::sent;
        Answer &a = r.answer;
        if (a.status == 200) a.headers.emplace_back("Cache-Control", "no-store");
        if (!r.options.warnings)
            a.headers.erase(std::remove_if(a.headers.begin(), a.headers.end(),
                                           [](const auto &h) { return h.first.rfind("X-Warnings", 0) == 0; }),
                            a.headers.end());
        return send_answer(r.connection, a.status, a.content_type, a.body, a.headers);
    }
    if (r.stage == Stage::rendering || r.stage == Stage::sent) return MHD_YES;
    if (r.refusal) {
        r.dropped += *size;
        if (*size && r.dropped <= settings.max_body) {
            *size = 0;
            return MHD_YES;
        }
        // All read (or more than the body limit: then the connection
        // closes after the answer).
        *size = 0;
        r.stage = Stage::sent;
        const Answer &a = *r.refusal;
        return send_answer(r.connection, a.status, a.content_type, a.body, a.headers);
    }
    if (*size) {
        if (!r.too_large) {
            if (r.multipart) {
                if (mhd().MHD_post_process(r.parts, upload, *size) != MHD_YES) r.broken = true;
            } else {
                hold(r, upload, *size);
            }
        }
        *size = 0;
        return MHD_YES;
    }
    if (r.busy)
        return refuse(r.connection, 503, "the service holds as many streams as it takes at once; try again",
                      {{"Retry-After", "1"}});
    if (r.too_large) return too_large(r.connection);
    if (r.broken) return refuse(r.connection, 400, "the multipart body does not parse");
    if (r.multipart && !r.got_file) return refuse(r.connection, 400, "the multipart body has no part named file");
    return submit(r);
}

// Body bytes, within the limits of the request and of all requests.
void HttpService::Impl::hold(Request &r, const char *data, std::size_t size) {
    if (r.body.size() + size > settings.max_body || bodies_held + size > kMaxBodiesHeld) {
        r.busy = r.body.size() + size <= settings.max_body;
        r.too_large = true;
        bodies_held -= r.counted;
        r.counted = 0;
        std::string().swap(r.body);
        return;
    }
    r.body.append(data, size);
    r.counted += size;
    bodies_held += size;
}

MHD_Result HttpService::Impl::file_part(void *cls, MHD_ValueKind, const char *key, const char *, const char *, const char *,
                            const char *data, uint64_t, std::size_t size) {
    auto *r = static_cast<Request *>(cls);
    if (!key || std::strcmp(key, "file") != 0) return MHD_YES;
    r->got_file = true;
    if (size && !r->too_large) r->service->hold(*r, data, size);
    return MHD_YES;
}

// A refusal before the body is read. A client that sends its whole body
// before it reads (a form upload) would find the connection closed under
// it and never see why; so a body is read and dropped first, up to the
// body limit, unless the client waits to be told (Expect: 100-continue).
MHD_Result HttpService::Impl::refuse_early(MHD_Connection *c, void **context, int status, const std::string &why,
                                             std::vector<std::pair<std::string, std::string>> headers) {
    const auto header = [c](const char *name) { return mhd().MHD_lookup_connection_value(c, MHD_HEADER_KIND, name); };
    const char *length = header(MHD_HTTP_HEADER_CONTENT_LENGTH);
    const bool body = (length && std::strtoull(length, nullptr, 10) > 0) || header(MHD_HTTP_HEADER_TRANSFER_ENCODING);
    if (!body || header(MHD_HTTP_HEADER_EXPECT) || (length && std::strtoull(length, nullptr, 10) > settings.max_body))
        return refuse(c, status, why, headers);
    auto request = std::make_unique<Request>();
    request->connection = c;
    request->service = this;
    request->refusal = Answer{status, "text/plain; charset=utf-8", why + "\n", std::move(headers)};
    *context = request.release();
    return MHD_YES;
}

MHD_Result HttpService::Impl::too_large(MHD_Connection *c) {
    return refuse(c, 413, "the stream is larger than " + std::to_string(settings.max_body) +
                              " bytes, the most this service takes (--http-max-body)");
}

MHD_Result HttpService::Impl::submit(Request &r) {
    r.stage = Stage::rendering;
    mhd().MHD_suspend_connection(r.connection);
    if (r.peer) guard.working(r.peer, Clock::now());
    {
        std::lock_guard<std::mutex> hold(mutex);
        todo.push(r.peer ? r.peer->address : std::string(), &r);
    }
    work.notify_one();
    return MHD_YES;
}

void HttpService::Impl::completed(MHD_Connection *c, void **context) {
    if (settings.metrics)
        if (const MHD_ConnectionInfo *sent = mhd().MHD_get_connection_info(c, MHD_CONNECTION_INFO_HTTP_STATUS))
            settings.metrics->answered(sent->http_status);
    // The connection waits for its next request.
    if (ConnectionGuard::Peer *peer = peer_of(c)) guard.request_done(peer, Clock::now());
    auto *r = static_cast<Request *>(*context);
    if (!r) return;
    if (r->parts) mhd().MHD_destroy_post_processor(r->parts);
    bodies_held -= r->counted;
    delete r;
    *context = nullptr;
}

}  // namespace quillbar::tool
