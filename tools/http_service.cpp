// SPDX-License-Identifier: MIT
// The web service through libmicrohttpd, on a thread of its own: the
// daemon's epoll descriptor and an eventfd are all it waits on, and MHD_run
// does what is ready. A render request is taken whole, its connection
// suspended while a worker renders, and resumed with the answer; an event
// stream's connection is suspended while it has nothing to send. The printer
// side (--listen, --serve) hands labels over and never waits on it.
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <cstring>

#include "http_impl.h"
#include "preview_tool.h"

namespace quillbar::tool {
namespace {

// The daemon's own ceiling, above the guard's: connections the guard let go
// still count until their close is seen.
constexpr unsigned kDaemonRoom = 64;

}  // namespace

HttpService::Impl::Impl(const Settings &s)
    : settings(s),
      guard(s.guard,
            s.metrics ? ConnectionGuard::LetGo([m = s.metrics](ConnectionGuard::Reason why) { m->let_go(why); })
                      : ConnectionGuard::LetGo()),
      todo(std::max(1, s.workers)) {}

HttpService::Impl::~Impl() {
    stopping = true;
    signal_wake();
    if (loop.joinable()) loop.join();
    {
        std::lock_guard<std::mutex> hold(mutex);
    }
    work.notify_all();
    for (std::thread &t : workers) t.join();
    if (daemon) {
        // Every suspended connection is resumed before the daemon stops:
        // answered if it was, told the service stops if not; event streams
        // end.
        todo.drain([this](Request *r) {
            r->answer = Answer{503, "text/plain; charset=utf-8", "the service is stopping\n", {}};
            done.push_back(r);
        });
        for (Request *r : done) {
            r->stage = Stage::answered;
            mhd().MHD_resume_connection(r->connection);
        }
        done.clear();
        feed.close();
        mhd().MHD_run(daemon);
        mhd().MHD_stop_daemon(daemon);
        // What the daemon wrote last reaches its clients.
        if (door) door->finish(Clock::now() + std::chrono::seconds(1));
    }
    if (wake >= 0) close(wake);
}

std::size_t HttpService::Impl::renders_waiting() {
    std::lock_guard<std::mutex> hold(mutex);
    return todo.waiting();
}

void HttpService::Impl::signal_wake() {
    const std::uint64_t one = 1;
    (void)!write(wake, &one, sizeof one);
}

void HttpService::Impl::work_loop() {
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
        std::optional<std::pair<std::string, Request *>> next;
        work.wait(hold, [&] { return stopping || (next = todo.take()); });
        if (stopping) {
            if (next) todo.push(next->first, next->second);
            return;
        }
        hold.unlock();
        Request *r = next->second;
        const Clock::time_point began = Clock::now();
        r->answer = render(r->body, r->path, r->format, settings.limits, r->options);
        if (settings.metrics) settings.metrics->rendered(std::chrono::duration<double>(Clock::now() - began).count());
        hold.lock();
        todo.finished(next->first);
        done.push_back(r);
        // Another client's request may have waited for this one's share.
        work.notify_one();
        signal_wake();
    }
}

// The service's thread: the daemon's sockets, answers made, labels printed,
// and the connections past their deadlines.
void HttpService::Impl::serve_sockets() {
    while (!stopping) {
        int timeout = guard.enforce(Clock::now(), 1000);
        MHD_UNSIGNED_LONG_LONG ms = 0;
        if (mhd().MHD_get_timeout(daemon, &ms) == MHD_YES && ms < static_cast<MHD_UNSIGNED_LONG_LONG>(timeout))
            timeout = static_cast<int>(ms);
        pollfd fds[] = {{epoll_fd, POLLIN, 0}, {wake, POLLIN, 0}, {door->fd(), POLLIN, 0}};
        if (poll(fds, 3, door->timeout(timeout)) < 0 && errno != EINTR) break;
        if (stopping) break;
        std::uint64_t count = 0;
        (void)!read(wake, &count, sizeof count);
        std::vector<Request *> ready;
        {
            std::lock_guard<std::mutex> hold(mutex);
            ready.swap(done);
        }
        for (Request *r : ready) {
            r->stage = Stage::answered;
            if (r->peer) guard.answering(r->peer, Clock::now());
            mhd().MHD_resume_connection(r->connection);
        }
        feed.tick();
        door->run();
        mhd().MHD_run(daemon);
        // What the daemon wrote goes out in the same turn.
        door->run();
    }
}

ConnectionGuard::Peer *HttpService::Impl::peer_of(MHD_Connection *c) {
    const MHD_ConnectionInfo *info = mhd().MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ConnectionGuard::Peer *>(info->socket_context) : nullptr;
}

void HttpService::Impl::connection_opened(MHD_Connection *c, void **socket_context) {
    const MHD_ConnectionInfo *fd = mhd().MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo *from = mhd().MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    *socket_context = guard.opened(fd ? fd->connect_fd : -1, from ? address_text(from->client_addr) : "",
                                   Clock::now());
}

void HttpService::Impl::connection_closed(void **socket_context) {
    if (*socket_context) guard.closed(static_cast<ConnectionGuard::Peer *>(*socket_context));
    *socket_context = nullptr;
}

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
    std::string why;
    const int listener = listen_on(port_only ? ":" + where : where, bound, loopback, "http", &why);
    if (listener < 0) {
        error = errno ? std::strerror(errno) : !why.empty() ? why : "not [HOST:]PORT with PORT 0..65535";
        return nullptr;
    }
    // The time zone is read once, before the workers: the PDF writer asks
    // for the local time from each of them, and without TZ the C library
    // reads the zone's file again at every asking.
    setenv("TZ", ":/etc/localtime", 0);
    tzset();
    // A connection holds three descriptors (the client's, and a pair to the
    // daemon): the soft limit goes up to what the system allows.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 1 << 16);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    auto impl = std::make_unique<Impl>(settings);
    impl->loopback = loopback;
    impl->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const auto handler = [](void *cls, MHD_Connection *c, const char *url, const char *method, const char *version,
                            const char *upload, std::size_t *size, void **context) {
        return static_cast<Impl *>(cls)->handle(c, url, method, version, upload, size, context);
    };
    const auto completed = [](void *cls, MHD_Connection *c, void **context, MHD_RequestTerminationCode) {
        static_cast<Impl *>(cls)->completed(c, context);
    };
    const auto connection = [](void *cls, MHD_Connection *c, void **socket_context,
                               MHD_ConnectionNotificationCode what) {
        if (what == MHD_CONNECTION_NOTIFY_STARTED)
            static_cast<Impl *>(cls)->connection_opened(c, socket_context);
        else
            static_cast<Impl *>(cls)->connection_closed(socket_context);
    };
    // The path stays percent-encoded: a GET's stream is decoded whole,
    // NUL bytes and all.
    const auto keep_escapes = [](void *, MHD_Connection *, char *s) -> std::size_t { return std::strlen(s); };
    // The daemon reads only what the front door passes it.
    impl->daemon = mhd().MHD_start_daemon(
        MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr, +handler, impl.get(),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(settings.idle_seconds),
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(settings.guard.total) + kDaemonRoom, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kMaxHead * 2, MHD_OPTION_NOTIFY_COMPLETED, +completed, impl.get(),
        MHD_OPTION_NOTIFY_CONNECTION, +connection, impl.get(),
        MHD_OPTION_UNESCAPE_CALLBACK, +keep_escapes, nullptr, MHD_OPTION_END);
    const MHD_DaemonInfo *info = impl->daemon ? mhd().MHD_get_daemon_info(impl->daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (!info || impl->wake < 0) {
        error = "the HTTP server could not start";
        close(listener);
        return nullptr;
    }
    impl->door = FrontDoor::open(
        listener,
        [daemon = impl->daemon](int socket, const sockaddr *from, socklen_t length) {
            return mhd().MHD_add_connection(daemon, socket, from, length) == MHD_YES;
        },
        settings.metrics ? FrontDoor::Refused([m = settings.metrics](unsigned status) { m->malformed(status); })
                         : FrontDoor::Refused(),
        error);
    if (!impl->door) {
        close(listener);
        return nullptr;
    }
    impl->epoll_fd = info->epoll_fd;
    for (int i = 0; i < std::max(1, settings.workers); ++i) impl->workers.emplace_back([p = impl.get()] { p->work_loop(); });
    impl->loop = std::thread([p = impl.get()] { p->serve_sockets(); });
    return std::unique_ptr<HttpService>(new HttpService(std::move(impl)));
}

void HttpService::printed(const preview::LabelView &label, PrintedLabel printed) {
    if (impl_->settings.metrics) impl_->settings.metrics->printed();
    impl_->feed.printed(label, std::move(printed));
    impl_->signal_wake();
}

void HttpService::has_printer(const std::string &what) {
    impl_->feed.set_printer(what);
    impl_->signal_wake();
}

}  // namespace quillbar::tool
