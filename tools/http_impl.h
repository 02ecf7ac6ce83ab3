// SPDX-License-Identifier: MIT
// The web service's inside, shared by its parts: the daemon and its thread
// (http_service.cpp) and the requests (http_requests.cpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fair_queue.h"
#include "http_front_door.h"
#include "http_guard.h"
#include "http_service.h"
#include "mhd.h"
#include "printer_feed.h"

namespace quillbar::tool {

constexpr std::size_t kMaxBodiesHeld = 256u << 20;  // of all requests' bodies at once

enum class Stage { reading, rendering, answered, sent };

struct Request {
    MHD_Connection *connection = nullptr;
    ConnectionGuard::Peer *peer = nullptr;
    LabelPath path;
    Format format = Format::png;
    RenderOptions options;
    std::string body;
    std::size_t counted = 0;  // of the body, in the service's bodies_held (a GET's is not)
    bool too_large = false;
    bool busy = false;    // the bodies of all requests reached what the service holds at once
    bool broken = false;  // a multipart body that does not parse
    bool multipart = false;
    bool got_file = false;
    std::optional<Answer> refusal;  // answered once the body is read and dropped
    std::size_t dropped = 0;
    MHD_PostProcessor *parts = nullptr;
    Stage stage = Stage::reading;
    Answer answer;
    struct HttpService::Impl *service = nullptr;
};

struct HttpService::Impl {
    Settings settings;
    bool loopback = true;  // reachable from this machine only
    MHD_Daemon *daemon = nullptr;
    std::unique_ptr<FrontDoor> door;  // accepts, and hands the daemon what parses
    int epoll_fd = -1;
    int wake = -1;  // an eventfd: answers or printed labels are ready, or the service stops
    std::size_t bodies_held = 0;
    ConnectionGuard guard;
    std::thread loop;  // serves the sockets: nothing the printer does waits on it, nor it on the printer
    std::atomic<bool> stopping{false};

    // The workers' queue and the answers they made.
    std::mutex mutex;
    std::condition_variable work;
    FairQueue<Request *> todo;
    std::vector<Request *> done;
    std::vector<std::thread> workers;

    PrinterFeed feed;  // the printer panel's

    explicit Impl(const Settings &s);
    ~Impl();
    void serve_sockets();
    void work_loop();
    std::size_t renders_waiting();
    void signal_wake();

    // Connections, as the daemon opens and closes them.
    void connection_opened(MHD_Connection *c, void **socket_context);
    void connection_closed(void **socket_context);
    static ConnectionGuard::Peer *peer_of(MHD_Connection *c);

    // ---- requests (http_requests.cpp) ----
    MHD_Result handle(MHD_Connection *c, const char *url, const char *method, const char *version, const char *upload,
                      std::size_t *size, void **context);
    // The routes' answers: for the method, on the whole path.
    MHD_Result serve_page(MHD_Connection *c, const char *method, std::string_view path, void **context);
    MHD_Result serve_health(MHD_Connection *c, const char *method, std::string_view path, void **context);
    MHD_Result serve_metrics(MHD_Connection *c, const char *method, std::string_view path, void **context);
    MHD_Result serve_commands(MHD_Connection *c, const char *method, std::string_view path, void **context);
    MHD_Result serve_no_icon(MHD_Connection *c, const char *method, std::string_view path, void **context);
    MHD_Result serve_events(MHD_Connection *c, const char *method, std::string_view path, void **context);
    MHD_Result serve_printed(MHD_Connection *c, const char *method, std::string_view path, void **context);
    MHD_Result serve_labels(MHD_Connection *c, const char *method, std::string_view path, void **context);
    MHD_Result go_on(Request &r, const char *upload, std::size_t *size);
    void hold(Request &r, const char *data, std::size_t size);
    static MHD_Result file_part(void *cls, MHD_ValueKind, const char *key, const char *, const char *, const char *,
                                const char *data, uint64_t, std::size_t size);
    MHD_Result refuse_early(MHD_Connection *c, void **context, int status, const std::string &why,
                            std::vector<std::pair<std::string, std::string>> headers = {});
    MHD_Result too_large(MHD_Connection *c);
    MHD_Result submit(Request &r);
    void completed(MHD_Connection *c, void **context);
};

}  // namespace quillbar::tool
