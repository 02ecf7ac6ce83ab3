// SPDX-License-Identifier: MIT
// The web page's printer panel: labels printed on --listen or --serve, as
// server-sent events (newest kept, each with its job's stream and
// diagnostics) and their pictures; and the printer's side that tells it of
// each label with the job it belongs to.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "epl2_printer.h"
#include "mhd.h"

namespace quillbar::tool {

class HttpService;
class LabelWriter;

// Queues an answer on a connection: the service's one way to answer.
MHD_Result send_answer(MHD_Connection *c, int status, const std::string &content_type, const std::string &body,
                       const std::vector<std::pair<std::string, std::string>> &headers = {});
MHD_Result refuse(MHD_Connection *c, int status, const std::string &why,
                  const std::vector<std::pair<std::string, std::string>> &headers = {});

// A printed label as the printer side hands it to the panel. Its event's
// text is written only when a page reads it: a job of many labels costs
// nothing more when no page follows the printer.
struct PrintedLabel {
    long job = 0;
    std::shared_ptr<const std::string> stream;  // the job's so far, shared by its labels
    std::size_t seen = 0;                        // of the stream, when this label printed
    std::vector<preview::Diagnostic> diagnostics;  // offsets from the job's first byte; lines counted when sent
    int dots_per_mm = 8;
};

// The events and their readers, on the service's thread; set_printer() and
// printed() come from the printer's, and are taken in at the next tick().
class PrinterFeed {
public:
    ~PrinterFeed();
    // What feeds the panel ("network printer 127.0.0.1:9100"; "" for none).
    void set_printer(const std::string &what);
    // GET /v1/printer/events, and GET /v1/printer/labels/{id}.png.
    MHD_Result subscribe(MHD_Connection *c);
    MHD_Result image(MHD_Connection *c, std::string_view name);
    void printed(const preview::LabelView &label, PrintedLabel printed);
    // Takes in what the printer handed over; every so often, a comment
    // down each stream finds readers that left.
    void tick();
    // The service stops: every stream ends, none stays suspended.
    void close();

    static constexpr std::size_t kMaxStreamShown = 1 << 20;  // of a job's stream, in an event

private:
    struct Event {
        long id;
        long number;
        int width, height;
        PrintedLabel label;
        std::vector<unsigned char> png;
    };
    static std::string event_text(const Event &e);
    // A stream's reader: the next event it has not had, and what is left of
    // the one being sent.
    struct Reader {
        MHD_Connection *connection = nullptr;
        long next = 0;
        std::string sending;
        bool suspended = false;
        bool heartbeat = false;
        PrinterFeed *feed = nullptr;
    };

    void take_in();
    static ssize_t send_events(void *cls, uint64_t, char *buf, std::size_t max);
    static void unsubscribe(void *cls);
    void wake(bool heartbeat);

    std::string printer_;
    std::deque<Event> events_;
    // Handed over by the printer's thread, not yet taken in.
    std::mutex handed_lock_;
    std::deque<Event> handed_;
    std::optional<std::string> handed_printer_;
    long next_event_ = 1;
    std::vector<Reader *> readers_;
    bool closing_ = false;
    std::chrono::steady_clock::time_point last_heartbeat_ = std::chrono::steady_clock::now();
};

// The printer's side: each label with its job's stream (as much as the
// panel shows) and the job's diagnostics, offsets and lines counted from
// the job's first byte.
class Panel {
public:
    Panel(HttpService *http, const preview::VirtualPrinter &printer, LabelWriter &writer, int dots_per_mm);
    void begin(long job);
    void fed(const char *data, std::size_t size);

private:
    static constexpr std::size_t kKept = PrinterFeed::kMaxStreamShown + 1;  // one more: the panel says it is cut
    void label(const preview::LabelView &label);
    std::shared_ptr<std::string> new_stream() const;

    HttpService *http_;
    const preview::VirtualPrinter &printer_;
    int dots_per_mm_;
    long job_ = 1;
    std::shared_ptr<std::string> stream_;
    std::size_t fed_ = 0, start_ = 0, first_ = 0;
};

}  // namespace quillbar::tool
