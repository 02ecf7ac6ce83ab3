// SPDX-License-Identifier: MIT
#include "printer_feed.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "http_service.h"
#include "label_api.h"
#include "preview_tool.h"

namespace quillbar::tool {
namespace {

constexpr std::size_t kMaxEventsKept = 50;  // printed labels the panel can still show
constexpr std::size_t kMaxReaders = 32;
constexpr auto kHeartbeat = std::chrono::seconds(15);

}  // namespace

MHD_Result send_answer(MHD_Connection *c, int status, const std::string &content_type, const std::string &body,
                       const std::vector<std::pair<std::string, std::string>> &headers) {
    MHD_Response *response =
        mhd().MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    mhd().MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type.c_str());
    mhd().MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    for (const auto &[name, value] : headers) mhd().MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = mhd().MHD_queue_response(c, static_cast<unsigned>(status), response);
    mhd().MHD_destroy_response(response);
    return queued;
}

MHD_Result refuse(MHD_Connection *c, int status, const std::string &why,
                  const std::vector<std::pair<std::string, std::string>> &headers) {
    return send_answer(c, status, "text/plain; charset=utf-8", why + "\n", headers);
}

// ---- the events ----

PrinterFeed::~PrinterFeed() {
    // The connections own their readers until they end; what is left is
    // only unhooked.
    for (Reader *r : readers_) r->feed = nullptr;
}

MHD_Result PrinterFeed::subscribe(MHD_Connection *c) {
    // What the printer handed over so far, its name first.
    take_in();
    if (readers_.size() >= kMaxReaders) return refuse(c, 503, "too many pages follow the printer", {{"Retry-After", "5"}});
    auto *r = new Reader;
    r->connection = c;
    r->feed = this;
    const char *last = mhd().MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Last-Event-ID");
    // The last event the page had, so that it gets only newer ones; an id
    // this feed never gave (not a number, or past the last) starts it over
    // with every event kept, rather than none.
    long had = -1;
    if (last) {
        const char *end = last + std::strlen(last);
        const auto [stop, fault] = std::from_chars(last, end, had);
        if (fault != std::errc() || stop != end || had < 0 || had >= next_event_) had = -1;
    }
    r->next = had + 1;
    MHD_Response *response =
        mhd().MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, &PrinterFeed::send_events, r, &PrinterFeed::unsubscribe);
    if (!response) {
        delete r;
        return MHD_NO;
    }
    readers_.push_back(r);
    mhd().MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
    mhd().MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    // What feeds the panel, first; with nothing, the page is told not to
    // come back.
    r->sending = std::string(printer_.empty() ? "retry: 86400000\n" : "") +
                 "event: printer\ndata: " + dump(nlohmann::ordered_json{{"printer", printer_}}) + "\n\n";
    const MHD_Result queued = mhd().MHD_queue_response(c, MHD_HTTP_OK, response);
    mhd().MHD_destroy_response(response);
    return queued;
}

ssize_t PrinterFeed::send_events(void *cls, uint64_t, char *buf, std::size_t max) {
    auto *r = static_cast<Reader *>(cls);
    if (!r->feed) return MHD_CONTENT_READER_END_OF_STREAM;
    PrinterFeed &feed = *r->feed;
    if (r->sending.empty())
        for (const Event &e : feed.events_)
            if (e.id >= r->next) {
                r->sending = event_text(e);
                r->next = e.id + 1;
                break;
            }
    if (r->sending.empty() && r->heartbeat) r->sending = ": still here\n\n";
    r->heartbeat = false;
    // Nothing feeds the panel, or the service stops: the stream ends once
    // its last event is out.
    if (r->sending.empty() && (feed.closing_ || feed.printer_.empty())) return MHD_CONTENT_READER_END_OF_STREAM;
    if (r->sending.empty()) {
        r->suspended = true;
        mhd().MHD_suspend_connection(r->connection);
        return 0;
    }
    const std::size_t n = std::min(max, r->sending.size());
    std::memcpy(buf, r->sending.data(), n);
    r->sending.erase(0, n);
    return static_cast<ssize_t>(n);
}

void PrinterFeed::unsubscribe(void *cls) {
    auto *r = static_cast<Reader *>(cls);
    if (r->feed) {
        auto &list = r->feed->readers_;
        list.erase(std::remove(list.begin(), list.end(), r), list.end());
    }
    delete r;
}

void PrinterFeed::wake(bool heartbeat) {
    for (Reader *r : readers_) {
        r->heartbeat = r->heartbeat || heartbeat;
        if (!r->suspended) continue;
        r->suspended = false;
        mhd().MHD_resume_connection(r->connection);
    }
}

void PrinterFeed::set_printer(const std::string &what) {
    std::lock_guard<std::mutex> hold(handed_lock_);
    handed_printer_ = what;
}

void PrinterFeed::tick() {
    take_in();
    const auto now = std::chrono::steady_clock::now();
    if (now - last_heartbeat_ < kHeartbeat) return;
    last_heartbeat_ = now;
    wake(true);
}

void PrinterFeed::take_in() {
    std::deque<Event> handed;
    {
        std::lock_guard<std::mutex> hold(handed_lock_);
        handed.swap(handed_);
        if (handed_printer_) printer_ = std::move(*handed_printer_);
        handed_printer_.reset();
    }
    for (Event &e : handed) {
        e.id = next_event_++;
        events_.push_back(std::move(e));
        if (events_.size() > kMaxEventsKept) events_.pop_front();
    }
    if (!handed.empty()) wake(false);
}

void PrinterFeed::close() {
    closing_ = true;
    wake(false);
}

// {id}.png, the label's picture; {id}.epl, its job's stream as the printer
// took it (what the event shows, byte for byte).
MHD_Result PrinterFeed::image(MHD_Connection *c, std::string_view name) {
    take_in();
    const std::size_t dot = name.find('.');
    const std::string_view kind = dot == std::string_view::npos ? "" : name.substr(dot);
    const bool number = (kind == ".png" || kind == ".epl") && dot > 0 && dot < 10 &&
                        name.substr(0, dot).find_first_not_of("0123456789") == std::string_view::npos;
    const long id = number ? std::strtol(std::string(name.substr(0, dot)).c_str(), nullptr, 10) : -1;
    for (const Event &e : events_) {
        if (e.id != id) continue;
        if (kind == ".epl")
            return send_answer(c, 200, "application/octet-stream",
                               std::string(e.label.stream->data(), std::min(e.label.seen, kMaxStreamShown)));
        return send_answer(c, 200, "image/png", std::string(e.png.begin(), e.png.end()));
    }
    return refuse(c, 404, "no printed label " + std::string(name) + " is kept (the last " +
                              std::to_string(kMaxEventsKept) + " are)");
}

void PrinterFeed::printed(const preview::LabelView &label, PrintedLabel printed) {
    Event e{0, label.number, label.image.width(), label.image.height(), std::move(printed), {}};
    if (!preview::encode_png(label.image, e.png, 1, e.label.dots_per_mm)) return;
    std::lock_guard<std::mutex> hold(handed_lock_);
    handed_.push_back(std::move(e));
    // A service too busy to take them in keeps the newest, as the panel does.
    if (handed_.size() > kMaxEventsKept) handed_.pop_front();
}

std::string PrinterFeed::event_text(const Event &e) {
    const PrintedLabel &l = e.label;
    const std::string_view stream(l.stream->data(), std::min(l.seen, kMaxStreamShown));
    std::vector<preview::Diagnostic> diagnostics = l.diagnostics;
    for (preview::Diagnostic &d : diagnostics) {
        const auto seen = static_cast<std::ptrdiff_t>(std::min(d.offset, l.seen));
        d.line = 1 + static_cast<long>(std::count(l.stream->begin(), l.stream->begin() + seen, '\n'));
    }
    const nlohmann::ordered_json json{{"id", e.id},
                                      {"job", l.job},
                                      {"number", e.number},
                                      {"width", e.width},
                                      {"height", e.height},
                                      {"dots_per_mm", l.dots_per_mm},
                                      {"image", "/v1/printer/labels/" + std::to_string(e.id) + ".png"},
                                      {"stream", std::string(stream)},
                                      {"stream_cut", l.seen > kMaxStreamShown},
                                      {"diagnostics", diagnostics_json(diagnostics)}};
    return "id: " + std::to_string(e.id) + "\nevent: label\ndata: " + dump(json) + "\n\n";
}

// ---- the printer's side ----

// A job's stream as the panel keeps it: room for all it keeps from the
// start, so that what the service's thread reads of it never moves while
// the printer's appends.
std::shared_ptr<std::string> Panel::new_stream() const {
    auto stream = std::make_shared<std::string>();
    if (http_) stream->reserve(kKept);
    return stream;
}

Panel::Panel(HttpService *http, const preview::VirtualPrinter &printer, LabelWriter &writer, int dots_per_mm)
    : http_(http), printer_(printer), dots_per_mm_(dots_per_mm), stream_(new_stream()) {
    if (http_) writer.also = [this](const preview::LabelView &label) { this->label(label); };
}

void Panel::begin(long job) {
    job_ = job;
    // The last job's labels keep its stream.
    stream_ = new_stream();
    start_ = fed_;
    first_ = printer_.diagnostics().size();
}

void Panel::fed(const char *data, std::size_t size) {
    if (http_ && stream_->size() < kKept) stream_->append(data, std::min(size, kKept - stream_->size()));
    fed_ += size;
}

void Panel::label(const preview::LabelView &label) {
    PrintedLabel printed{job_, stream_, stream_->size(), {}, dots_per_mm_};
    const auto &all = printer_.diagnostics();
    for (std::size_t i = first_; i < all.size(); ++i) {
        if (all[i].offset < start_) continue;
        printed.diagnostics.push_back(all[i]);
        printed.diagnostics.back().offset -= start_;
    }
    http_->printed(label, std::move(printed));
}

}  // namespace quillbar::tool
