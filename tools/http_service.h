// SPDX-License-Identifier: MIT
// quillbar-preview's web service (--http): the label API, the page that
// renders a stream as it is typed, and the printer panel's feed of labels
// printed on --listen or --serve. Its sockets are served by the tool's one
// event loop (add_to, run); rendering runs on a fixed pool of workers, so
// that neither a slow client nor a slow stream holds up the others.
#pragma once

#include <poll.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "label_api.h"

namespace quillbar::tool {

struct PrintedLabel;

class HttpService {
public:
    struct Settings {
        std::size_t max_body = 8u << 20;  // --http-max-body
        int workers = 2;
        int idle_seconds = 30;            // a connection that sends nothing is closed
        RenderLimits limits;
    };

    // Listens on where ([HOST:]PORT, loopback without a host); null with the
    // reason when it cannot. bound is the address taken, loopback whether
    // only this machine reaches it.
    static std::unique_ptr<HttpService> start(const std::string &where, const Settings &settings, std::string &bound,
                                              bool &loopback, std::string &error);
    ~HttpService();
    HttpService(const HttpService &) = delete;
    HttpService &operator=(const HttpService &) = delete;

    // The event loop's side: the descriptors to wait on, how long at most
    // (milliseconds, at most `longest`), and doing what is ready.
    void add_to(std::vector<pollfd> &fds) const;
    int timeout_ms(int longest) const;
    void run();

    // A label a printer (--listen, --serve) printed, for the printer panel:
    // its job, the job's stream so far and its diagnostics.
    void printed(const preview::LabelView &label, PrintedLabel printed);
    // Whether a printer feeds the panel.
    void has_printer(const std::string &what);

    struct Impl;

private:
    explicit HttpService(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The page (page.html, built into the program).
extern const char kPage[];

}  // namespace quillbar::tool
