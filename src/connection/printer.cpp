// SPDX-License-Identifier: MIT
#include "connection/printer.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "connection/answers.h"
#include "connection/lasting.h"

namespace quillbar {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// The application's name, for job names on a print server.
std::string application() {
#if defined(__GLIBC__)
    return program_invocation_short_name;
#else
    return "quillbar";
#endif
}

thread_local Printer *t_current = nullptr;

}  // namespace

// ---- message handlers -------------------------------------------------------------------

void MessageService::set(QB_MessageHandler handler, void *context) {
    std::unique_lock<std::mutex> lock(lock_);
    std::shared_ptr<Registration> old = std::move(current_);
    if (handler) current_ = std::make_shared<Registration>(Registration{handler, context, {}});
    if (!old) return;
    const std::thread::id self = std::this_thread::get_id();
    left_.wait(lock, [&] { return std::all_of(old->inside.begin(), old->inside.end(), [&](auto id) { return id == self; }); });
}

bool MessageService::show(const std::string &text) {
    std::shared_ptr<Registration> r;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!current_) return false;
        r = current_;
        r->inside.push_back(std::this_thread::get_id());
    }
    struct Leave {
        MessageService &service;
        Registration &r;
        ~Leave() {
            {
                std::lock_guard<std::mutex> lock(service.lock_);
                r.inside.erase(std::find(r.inside.begin(), r.inside.end(), std::this_thread::get_id()));
            }
            service.left_.notify_all();
        }
    } leave{*this, *r};
    r->handler(text.c_str(), r->context);
    return true;
}

void MessageService::reset_after_fork() {
    new (&lock_) std::mutex;
    new (&left_) std::condition_variable;
    if (!current_) return;
    // Only the thread that forked lives on in the child.
    std::vector<std::thread::id> &inside = current_->inside;
    const std::thread::id self = std::this_thread::get_id();
    inside.erase(std::remove_if(inside.begin(), inside.end(), [&](auto id) { return id != self; }), inside.end());
}

// ---- the connection ---------------------------------------------------------------------

Printer::~Printer() {
    if (device_) device_->close();
}

int Printer::open(const std::string &path, PortKind kind, int baud) {
    // Close what is open first: with exclusive use, a port left open could
    // never be opened again.
    std::unique_ptr<Device> old;
    {
        std::lock_guard<std::mutex> lock(device_lock_);
        old = std::move(device_);
    }
    if (old) old->close();
    old.reset();
    forget_answers_locked();
    label_width_ = 0;
    OpenedDevice opened = open_device(path, kind, baud);
    {
        // A serial port whose settings did not take stays open and in use.
        std::lock_guard<std::mutex> lock(device_lock_);
        device_ = std::move(opened.device);
    }
    if (!device_ || !opened.configured) return fail(QB_ERR_PORT_OPEN, opened.error);
    return 0;
}

int Printer::close() {
    // Another thread inside a call (a write waiting on a slow printer, a job
    // on a silent server) is ended first; with nobody inside, the device
    // closes as it is, pending lines going out as a last job.
    std::unique_lock<std::recursive_mutex> lock(lock_, std::try_to_lock);
    if (!lock.owns_lock()) {
        {
            std::lock_guard<std::mutex> hold(device_lock_);
            if (device_) device_->interrupt();
        }
        lock.lock();
    }
    std::unique_ptr<Device> device;
    {
        std::lock_guard<std::mutex> hold(device_lock_);
        device = std::move(device_);
    }
    if (!device) return fail(QB_ERR_PORT_CLOSE, "no port is open");
    std::string error;
    if (!device->close(error)) return fail(QB_ERR_PORT_CLOSE, error);
    if (device->unconfirmed() > 0) set_notice(QB_NOTICE_NOT_CONFIRMED, device->notice());
    return 0;
}

bool Printer::write(const void *data, std::size_t size, std::string &error) {
    if (!device_) {
        error = "no port is open";
        return false;
    }
    return device_->write_all(data, size, error);
}

int Printer::end_job(const std::string &what) {
    if (!device_) return 0;  // the lines before already failed for want of a port
    const std::string title = application() + ": " + (what == "label" ? "label " + std::to_string(++labels_) : what);
    std::string error;
    return device_->end_job(title, error) ? 0 : fail(QB_ERR_PORT_WRITE, error);
}

void Printer::reset_locks_after_fork() {
    new (&lock_) std::recursive_mutex;
    new (&device_lock_) std::mutex;
    messages_.reset_after_fork();
    if (&errors_ != &process_errors()) errors_.reset_lock();
}

// ---- the printer's answers --------------------------------------------------------------

namespace {
// The line must have been quiet this long before a query goes; and a query
// unanswered is given up for lost this long after the longest answer yet.
constexpr milliseconds kQuiet{50};
constexpr milliseconds kLongestAnswer{10000};
}  // namespace

void Printer::forget_answers_locked() {
    asked_.clear();
    answers_ = AnswerReader();
    heard_ = Clock::time_point{};
    answer_time_ = milliseconds{0};
}

int Printer::take_answers_locked(milliseconds wait, std::uint64_t mine, int &code, bool &got, std::string &error) {
    char buf[256];
    const long n = device_->read_some(buf, sizeof buf, wait, error);
    if (n < 0) return -1;
    if (n == 0) return 0;
    const auto now = Clock::now();
    heard_ = now;
    answers_.add(buf, static_cast<std::size_t>(n));
    for (int answer; answers_.next(answer);) {
        if (asked_.empty()) continue;  // nobody asked: an answer repeated, or sent unasked
        const Query q = asked_.front();
        asked_.pop_front();
        answer_time_ = std::min(kLongestAnswer, std::max(answer_time_, std::chrono::duration_cast<milliseconds>(now - q.sent)));
        if (q.number == mine) {
            code = answer;
            got = true;
            return 0;
        }
    }
    return 0;
}

int Printer::status(milliseconds timeout) {
    if (!device_) {
        fail(QB_ERR_PORT_WRITE, "no port is open");
        return -1;
    }
    if (!device_->answers()) return -1;  // a file, FIFO, parallel port or print server
    static const char kQuery[] = "^ee\n";
    std::string error;
    const auto deadline = Clock::now() + timeout;
    const auto left = [&] {
        return std::max(milliseconds{0}, std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
    };
    int code = -1;
    bool got = false;
    // What came meanwhile is taken in (answers to queries still unanswered
    // count off against them, the rest is dropped) until the line has been
    // quiet for a moment: since the printer last said anything, and, while
    // earlier queries are unanswered, within this call too (their answers
    // may be on the way). All within the time given.
    const auto start = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        const auto since = asked_.empty() ? heard_ : std::max(heard_, start);
        const auto quiet_for = std::chrono::duration_cast<milliseconds>(now - since);
        if (since == Clock::time_point{} || quiet_for >= kQuiet) {
            // Whatever already waits is taken in without waiting.
            const auto before = heard_;
            if (take_answers_locked(milliseconds{0}, 0, code, got, error) < 0) return fail(QB_ERR_PORT_WRITE, error);
            if (heard_ == before) break;
            continue;
        }
        if (left() <= milliseconds{0}) return -1;  // never quiet in the time given: unknown, nothing asked
        if (take_answers_locked(std::min(left(), kQuiet - quiet_for), 0, code, got, error) < 0)
            return fail(QB_ERR_PORT_WRITE, error);
    }
    // Queries whose answers have had their time (the longest an answer has
    // taken, and the quiet) are given up for lost, and with them half a line.
    const auto now = Clock::now();
    while (!asked_.empty() && now - asked_.front().sent > answer_time_ + kQuiet) asked_.pop_front();
    if (asked_.empty()) answers_.drop_unfinished();
    if (!device_->write_within(kQuery, sizeof kQuery - 1, deadline, error)) return fail(QB_ERR_PORT_WRITE, error);
    const std::uint64_t mine = ++queries_;
    asked_.push_back(Query{mine, Clock::now()});
    // Lines that are no answer (an ACK, a configuration the application
    // asked for) are passed over.
    while (!got) {
        const milliseconds wait = left();
        if (wait <= milliseconds{0}) return -1;
        if (take_answers_locked(wait, mine, code, got, error) < 0) return fail(QB_ERR_PORT_WRITE, error);
    }
    return code;
}

// ---- the default printer and handles ----------------------------------------------------

Printer &default_printer() {
    static Printer *const printer = new Printer(0, &process_errors());
    return *printer;
}

Printer &current_printer() { return t_current ? *t_current : default_printer(); }

Printer *exchange_current_printer(Printer *printer) { return std::exchange(t_current, printer); }

namespace {

struct Registry {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Printer>> printers;
    std::uint64_t last = 0;
};

Registry &registry() { return lasting<Registry>(); }

}  // namespace

std::uint64_t next_printer_number() {
    std::lock_guard<std::mutex> lock(registry().lock);
    return ++registry().last;
}

QB_Printer *register_printer(std::shared_ptr<Printer> printer) {
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    const auto key = static_cast<std::uintptr_t>(printer->owner());
    r.printers[key] = std::move(printer);
    return reinterpret_cast<QB_Printer *>(key);
}

std::shared_ptr<Printer> find_printer(QB_Printer *handle) {
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    const auto it = r.printers.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == r.printers.end() ? nullptr : it->second;
}

std::shared_ptr<Printer> unregister_printer(QB_Printer *handle) {
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    const auto it = r.printers.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == r.printers.end()) return nullptr;
    std::shared_ptr<Printer> printer = std::move(it->second);
    r.printers.erase(it);
    return printer;
}

void reset_printer_locks_after_fork() {
    default_printer().reset_locks_after_fork();
    Registry &r = registry();
    new (&r.lock) std::mutex;
    for (auto &entry : r.printers) entry.second->reset_locks_after_fork();
}

}  // namespace quillbar
