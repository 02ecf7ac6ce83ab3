// SPDX-License-Identifier: MIT
// quillbar-preview's web service (--http): the label API, the page that
// renders a stream as it is typed, and the printer panel's feed of labels
// printed on --listen or --serve. It serves its sockets on a thread of its
// own and renders on a pool of workers shared fairly among clients; each
// request has deadlines and each client a share of the connections, so that
// neither a slow client nor a slow stream holds up the others.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "http_guard.h"
#include "label_api.h"
#include "service_metrics.h"

namespace quillbar::tool {

struct PrintedLabel;

// The defaults the options and the service share.
constexpr std::size_t kDefaultMaxBody = 8u << 20;
constexpr int kDefaultIdleSeconds = 30;

class HttpService {
public:
    struct Settings {
        std::size_t max_body = kDefaultMaxBody;  // --http-max-body
        int workers = 3;
        int idle_seconds = kDefaultIdleSeconds;  // a connection that sends nothing is closed
        RenderLimits limits;
        ConnectionGuard::Limits guard;
        std::shared_ptr<ServiceMetrics> metrics;  // null: no /metrics
    };

    // Listens on where ([HOST:]PORT, loopback without a host); null with the
    // reason when it cannot. bound is the address taken, loopback whether
    // only this machine reaches it.
    static std::unique_ptr<HttpService> start(const std::string &where, const Settings &settings, std::string &bound,
                                              bool &loopback, std::string &error);
    ~HttpService();
    HttpService(const HttpService &) = delete;
    HttpService &operator=(const HttpService &) = delete;

    // A label a printer (--listen, --serve) printed, for the printer panel:
    // its job, the job's stream so far and its diagnostics. Called from the
    // printer's thread; it hands the label over and returns.
    void printed(const preview::LabelView &label, PrintedLabel printed);
    // Whether a printer feeds the panel.
    void has_printer(const std::string &what);

    struct Impl;

private:
    explicit HttpService(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The page's parts (page/, and its editor), built into the program.
struct PagePart {
    const char *name;  // "index.html", "editor.js"
    const char *content_type;
    const char *body;
};
extern const PagePart kPageParts[];
extern const std::size_t kPagePartCount;

}  // namespace quillbar::tool
