// SPDX-License-Identifier: MIT
// What the web service counts for /metrics: answers by status, render
// times, labels printed, connections let go. Only the web program
// (quillbar-preview-web) is built with a way to show them; the command line's
// program keeps its own C++ runtime and has none.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "http_guard.h"

namespace quillbar::tool {

class ServiceMetrics {
public:
    virtual ~ServiceMetrics() = default;
    // A request was answered with status (refusals among them: 413, 429, 503).
    virtual void answered(unsigned status) = 0;
    // A request that is not well-formed HTTP was refused with status.
    virtual void malformed(unsigned status) = 0;
    // A worker rendered a request in seconds.
    virtual void rendered(double seconds) = 0;
    // A printer (--listen, --serve) printed a label.
    virtual void printed() = 0;
    virtual void let_go(ConnectionGuard::Reason why) = 0;
    // The metrics in Prometheus's text format, with what holds at this moment.
    virtual std::string text(std::size_t connections, std::size_t waiting) = 0;
};

// The Prometheus client's counters and text format; in the web program only.
std::unique_ptr<ServiceMetrics> make_service_metrics();

}  // namespace quillbar::tool
