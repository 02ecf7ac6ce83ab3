// SPDX-License-Identifier: MIT
// The web service's metrics through the Prometheus client library
// (prometheus-cpp): its counters and histogram, and its text format.
#include "service_metrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>


namespace quillbar::tool {
namespace {

using prometheus::Counter;
using prometheus::Family;

class PrometheusMetrics final : public ServiceMetrics {
public:
    PrometheusMetrics()
        : requests_(prometheus::BuildCounter()
                        .Name("quillbar_http_requests_total")
                        .Help("Requests answered, by HTTP status")
                        .Register(registry_)),
          refusals_(prometheus::BuildCounter()
                        .Name("quillbar_http_refusals_total")
                        .Help("Requests and connections refused: connections let go past a deadline or to make "
                              "room at a cap, requests that are not well-formed HTTP, over the rate (429), too "
                              "large (413) or while the service was full (503)")
                        .Register(registry_)),
          renders_(prometheus::BuildHistogram()
                       .Name("quillbar_render_seconds")
                       .Help("Time a worker took to render a request")
                       .Register(registry_)
                       .Add({}, prometheus::Histogram::BucketBoundaries{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                                        0.25, 0.5, 1, 2.5, 5, 10})),
          printed_(prometheus::BuildCounter()
                       .Name("quillbar_labels_printed_total")
                       .Help("Labels the printer (--listen, --serve) printed")
                       .Register(registry_)
                       .Add({})),
          connections_(prometheus::BuildGauge()
                           .Name("quillbar_http_connections")
                           .Help("Connections open")
                           .Register(registry_)
                           .Add({})),
          waiting_(prometheus::BuildGauge()
                       .Name("quillbar_renders_waiting")
                       .Help("Requests waiting for a worker")
                       .Register(registry_)
                       .Add({})) {
        // Every refusal is there from the start, at 0, so that a rate of
        // them can be taken before the first.
        for (const char *reason : {"deadline", "connections", "malformed", "rate", "too_large", "busy"})
            refusal(reason);
    }

    void answered(unsigned status) override {
        status_counter(status).Increment();
        if (status == 429) refusal("rate").Increment();
        if (status == 413) refusal("too_large").Increment();
        if (status == 503) refusal("busy").Increment();
    }
    void malformed(unsigned status) override {
        status_counter(status).Increment();
        refusal("malformed").Increment();
    }
    void rendered(double seconds) override { renders_.Observe(seconds); }
    void printed() override { printed_.Increment(); }
    void let_go(ConnectionGuard::Reason why) override {
        refusal(why == ConnectionGuard::Reason::deadline ? "deadline" : "connections").Increment();
    }
    std::string text(std::size_t connections, std::size_t waiting) override {
        connections_.Set(static_cast<double>(connections));
        waiting_.Set(static_cast<double>(waiting));
        return prometheus::TextSerializer().Serialize(registry_.Collect());
    }

private:
    // Family::Add finds the labelled counter or makes it, under its own lock.
    Counter &status_counter(unsigned status) { return requests_.Add({{"code", std::to_string(status)}}); }
    Counter &refusal(const char *reason) { return refusals_.Add({{"reason", reason}}); }

    prometheus::Registry registry_;
    Family<Counter> &requests_;
    Family<Counter> &refusals_;
    prometheus::Histogram &renders_;
    Counter &printed_;
    prometheus::Gauge &connections_;
    prometheus::Gauge &waiting_;
};

}  // namespace

std::unique_ptr<ServiceMetrics> make_service_metrics() { return std::make_unique<PrometheusMetrics>(); }

}  // namespace quillbar::tool
