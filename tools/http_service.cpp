// SPDX-License-Identifier: MIT
// The web service through libmicrohttpd, driven from outside: its epoll
// descriptor sits in the tool's event loop, and MHD_run does what is ready.
// A render request is taken whole, its connection suspended while a worker
// renders, and resumed with the answer; an event stream's connection is
// suspended while it has nothing to send.
#include "http_service.h"

#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "mhd.h"
#include "preview_tool.h"
#include "printer_feed.h"

namespace quillbar::tool {
namespace {

constexpr std::size_t kMaxBodiesHeld = 256u << 20;  // of all requests' bodies at once
constexpr unsigned kMaxConnections = 256;

enum class Stage { reading, rendering, answered, sent };

struct Request {
    MHD_Connection *connection = nullptr;
    LabelPath path;
    Format format = Format::png;
    std::string body;
    std::size_t counted = 0;  // of the body, in the service's bodies_held (a GET's is not)
    bool too_large = false;
    bool busy = false;    // the bodies of all requests reached what the service holds at once
    bool broken = false;  // a multipart body that does not parse
    bool multipart = false;
    bool got_file = false;
    bool warnings = true;  // X-Linter: Off leaves the diagnostics out of the headers
    std::optional<Answer> refusal;  // answered once the body is read and dropped
    std::size_t dropped = 0;
    MHD_PostProcessor *parts = nullptr;
    Stage stage = Stage::reading;
    Answer answer;
    struct HttpService::Impl *service = nullptr;
};

bool method_is(const char *method, const char *name) { return std::strcmp(method, name) == 0; }

}  // namespace

struct HttpService::Impl {
    Settings settings;
    bool loopback = true;  // reachable from this machine only
    MHD_Daemon *daemon = nullptr;
    int epoll_fd = -1;
    int wake = -1;  // the workers' eventfd: answers are ready
    std::size_t bodies_held = 0;

    // The workers' queue and the answers they made.
    std::mutex mutex;
    std::condition_variable work;
    std::deque<Request *> todo;
    std::vector<Request *> done;
    bool stopping = false;
    std::vector<std::thread> workers;

    PrinterFeed feed;  // the printer panel's

    ~Impl() {
        {
            std::lock_guard<std::mutex> hold(mutex);
            stopping = true;
        }
        work.notify_all();
        for (std::thread &t : workers) t.join();
        if (daemon) {
            // Every suspended connection is resumed before the daemon stops:
            // answered if it was, told the service stops if not; event
            // streams end.
            for (Request *r : todo) {
                r->answer = Answer{503, "text/plain; charset=utf-8", "the service is stopping\n", {}};
                done.push_back(r);
            }
            todo.clear();
            for (Request *r : done) {
                r->stage = Stage::answered;
                mhd().MHD_resume_connection(r->connection);
            }
            done.clear();
            feed.close();
            mhd().MHD_run(daemon);
            mhd().MHD_stop_daemon(daemon);
        }
        if (wake >= 0) close(wake);
    }

    void work_loop() {
        for (;;) {
            Request *r = nullptr;
            {
                std::unique_lock<std::mutex> hold(mutex);
                work.wait(hold, [this] { return stopping || !todo.empty(); });
                if (stopping) return;
                r = todo.front();
                todo.pop_front();
            }
            r->answer = render(r->body, r->path, r->format, settings.limits);
            {
                std::lock_guard<std::mutex> hold(mutex);
                done.push_back(r);
            }
            const std::uint64_t one = 1;
            (void)!write(wake, &one, sizeof one);
        }
    }

    // ---- requests ----

    MHD_Result handle(MHD_Connection *c, const char *url, const char *method, const char *version, const char *upload,
                      std::size_t *size, void **context) {
        auto *r = static_cast<Request *>(*context);
        if (r) return go_on(*r, upload, size);
        const std::string_view path = url;
        // HTTP/1.1 names its host once; HTTP/1.0 may leave it out.
        const int hosts = host_headers(c);
        if (hosts > 1 || (hosts == 0 && !method_is(version, MHD_HTTP_VERSION_1_0)))
            return refuse_early(c, context, 400,
                                hosts ? "the request names its Host more than once" : "an HTTP/1.1 request must name its Host");
        if (loopback && !local_host_name(mhd().MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST)))
            return refuse_early(c, context, 421, "this service answers to localhost and loopback addresses only");
        const bool read_only = method_is(method, "GET") || method_is(method, "HEAD");
        const bool labels = path.rfind("/v1/printers/", 0) == 0;
        if (!read_only && !(labels && method_is(method, "POST")))
            return refuse_early(c, context, 405, std::string(method) + " is not served here",
                                {{"Allow", labels ? "GET, HEAD, POST" : "GET, HEAD"}});
        if (path == "/" || path == "/index.html")
            return send_answer(c, 200, "text/html; charset=utf-8", kPage,
                               {{"Content-Security-Policy", "default-src 'none'; script-src 'unsafe-inline'; style-src "
                                                            "'unsafe-inline'; img-src 'self' blob:; connect-src 'self' blob:; "
                                                            "frame-ancestors 'none'"}});
        if (path == "/v1/printer/events") return feed.subscribe(c);
        if (path.rfind("/v1/printer/labels/", 0) == 0) return feed.image(c, path.substr(19));
        if (!labels)
            return refuse_early(c, context, 404, "nothing here; the labels are at /v1/printers/{8|12}dpmm/labels/{W}x{H}/");

        auto request = std::make_unique<Request>();
        request->connection = c;
        request->service = this;
        std::string why;
        if (!parse_label_path(path, request->path, why)) return refuse_early(c, context, 400, why);
        const std::optional<Format> format =
            choose_format(mhd().MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT));
        if (!format) return refuse_early(c, context, 406, "the answers are image/png, application/pdf and application/json");
        request->format = *format;
        if (const char *linter = mhd().MHD_lookup_connection_value(c, MHD_HEADER_KIND, "X-Linter")) {
            if (strcasecmp(linter, "off") != 0 && strcasecmp(linter, "on") != 0)
                return refuse_early(c, context, 400, "X-Linter is On or Off, not " + std::string(linter));
            request->warnings = strcasecmp(linter, "on") == 0;
        }
        if (read_only) {
            request->body = std::move(request->path.stream);
        } else {
            if (!request->path.stream.empty())
                return refuse_early(c, context, 400, "a POST's stream is its body, not in its path");
            const char *type = mhd().MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
            if (!takes_content_type(type))
                return refuse_early(c, context, 415,
                                    "the body is the stream as it is (text/plain, application/octet-stream, application/"
                                    "x-www-form-urlencoded) or a multipart/form-data file part, not " + std::string(type));
            const char *length = mhd().MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
            // Over the limit: refused at once when the client waits to be
            // told (Expect: 100-continue) or the body is far over; else it
            // is read and dropped, so that a client that sends it whole
            // still reads the answer.
            const unsigned long long announced = length ? std::strtoull(length, nullptr, 10) : 0;
            const char *expect = mhd().MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_EXPECT);
            if (announced > settings.max_body && (expect || announced / 8 > settings.max_body)) return too_large(c);
            request->too_large = announced > settings.max_body;
            if (type && strncasecmp(type, "multipart/form-data", 19) == 0) {
                request->multipart = true;
                request->parts = mhd().MHD_create_post_processor(c, 64 * 1024, &Impl::file_part, request.get());
                if (!request->parts) return refuse_early(c, context, 400, "the multipart body has no boundary");
            }
        }
        *context = request.release();
        r = static_cast<Request *>(*context);
        // A GET has no body to wait for.
        if (read_only) return submit(*r);
        return MHD_YES;
    }

    MHD_Result go_on(Request &r, const char *upload, std::size_t *size) {
        if (r.stage == Stage::answered) {
            r.stage = Stage::sent;
            Answer &a = r.answer;
            if (a.status == 200) a.headers.emplace_back("Cache-Control", "no-store");
            if (!r.warnings)
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

    static int host_headers(MHD_Connection *c) {
        int count = 0;
        const auto each = [](void *cls, MHD_ValueKind, const char *key, const char *) {
            if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0) ++*static_cast<int *>(cls);
            return MHD_YES;
        };
        mhd().MHD_get_connection_values(c, MHD_HEADER_KIND, +each, &count);
        return count;
    }

    // Body bytes, within the limits of the request and of all requests.
    void hold(Request &r, const char *data, std::size_t size) {
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

    static MHD_Result file_part(void *cls, MHD_ValueKind, const char *key, const char *, const char *, const char *,
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
    MHD_Result refuse_early(MHD_Connection *c, void **context, int status, const std::string &why,
                            std::vector<std::pair<std::string, std::string>> headers = {}) {
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

    MHD_Result too_large(MHD_Connection *c) {
        return refuse(c, 413, "the stream is larger than " + std::to_string(settings.max_body) +
                                  " bytes, the most this service takes (--http-max-body)");
    }

    MHD_Result submit(Request &r) {
        r.stage = Stage::rendering;
        mhd().MHD_suspend_connection(r.connection);
        {
            std::lock_guard<std::mutex> hold(mutex);
            todo.push_back(&r);
        }
        work.notify_one();
        return MHD_YES;
    }

    void completed(void **context) {
        auto *r = static_cast<Request *>(*context);
        if (!r) return;
        if (r->parts) mhd().MHD_destroy_post_processor(r->parts);
        bodies_held -= r->counted;
        delete r;
        *context = nullptr;
    }

};

namespace {
// Set once the library is loaded; read by any thread after that.
std::atomic<const MhdLibrary *> g_mhd{nullptr};
}  // namespace

const MhdLibrary *load_mhd(std::string &error) {
    const MhdLibrary *loaded = load_late_once<MhdLibrary>(
        "libmicrohttpd.so.12", "HTTP services (--http)", "libmicrohttpd", "libmicrohttpd12",
        [](void *handle, MhdLibrary &table, const char *&missing) { QB_MHD_FUNCTIONS(QB_LATE_RESOLVE) }, error);
    g_mhd.store(loaded, std::memory_order_release);
    return loaded;
}

const MhdLibrary &mhd() { return *g_mhd.load(std::memory_order_acquire); }

HttpService::HttpService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HttpService::~HttpService() = default;

std::unique_ptr<HttpService> HttpService::start(const std::string &where, const Settings &settings, std::string &bound,
                                                bool &loopback, std::string &error) {
    if (!load_mhd(error)) return nullptr;
    // A port alone is on the loopback address.
    const bool port_only = where.find_first_not_of("0123456789") == std::string::npos;
    const int listener = listen_on(port_only ? ":" + where : where, bound, loopback);
    if (listener < 0) {
        error = errno ? std::strerror(errno) : "not [HOST:]PORT with PORT 0..65535";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->settings = settings;
    impl->loopback = loopback;
    impl->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const auto handler = [](void *cls, MHD_Connection *c, const char *url, const char *method, const char *version,
                            const char *upload, std::size_t *size, void **context) {
        return static_cast<Impl *>(cls)->handle(c, url, method, version, upload, size, context);
    };
    const auto completed = [](void *cls, MHD_Connection *, void **context, MHD_RequestTerminationCode) {
        static_cast<Impl *>(cls)->completed(context);
    };
    // The path stays percent-encoded: a GET's stream is decoded whole,
    // NUL bytes and all.
    const auto keep_escapes = [](void *, MHD_Connection *, char *s) -> std::size_t { return std::strlen(s); };
    impl->daemon = mhd().MHD_start_daemon(
        MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, +handler, impl.get(),
        MHD_OPTION_LISTEN_SOCKET, listener, MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(settings.idle_seconds),
        MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<std::size_t>(256 * 1024), MHD_OPTION_NOTIFY_COMPLETED, +completed, impl.get(),
        MHD_OPTION_UNESCAPE_CALLBACK, +keep_escapes, nullptr, MHD_OPTION_END);
    const MHD_DaemonInfo *info = impl->daemon ? mhd().MHD_get_daemon_info(impl->daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (!info || impl->wake < 0) {
        error = "the HTTP server could not start";
        if (!impl->daemon) close(listener);
        return nullptr;
    }
    impl->epoll_fd = info->epoll_fd;
    for (int i = 0; i < std::max(1, settings.workers); ++i) impl->workers.emplace_back([p = impl.get()] { p->work_loop(); });
    return std::unique_ptr<HttpService>(new HttpService(std::move(impl)));
}

void HttpService::add_to(std::vector<pollfd> &fds) const {
    fds.push_back({impl_->epoll_fd, POLLIN, 0});
    fds.push_back({impl_->wake, POLLIN, 0});
}

int HttpService::timeout_ms(int longest) const {
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (mhd().MHD_get_timeout(impl_->daemon, &ms) == MHD_YES && ms < static_cast<MHD_UNSIGNED_LONG_LONG>(longest))
        return static_cast<int>(ms);
    return longest;
}

void HttpService::run() {
    Impl &s = *impl_;
    std::uint64_t count = 0;
    (void)!read(s.wake, &count, sizeof count);
    std::vector<Request *> ready;
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        ready.swap(s.done);
    }
    for (Request *r : ready) {
        r->stage = Stage::answered;
        mhd().MHD_resume_connection(r->connection);
    }
    s.feed.tick();
    mhd().MHD_run(s.daemon);
}

void HttpService::printed(const preview::LabelView &label, PrintedLabel printed) {
    impl_->feed.printed(label, std::move(printed));
}

void HttpService::has_printer(const std::string &what) { impl_->feed.set_printer(what); }

}  // namespace quillbar::tool
