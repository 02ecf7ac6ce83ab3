// SPDX-License-Identifier: MIT
// A printer: one connection to one device, with its own lock, its own last
// error, its own message handler and its own reading of the printer's
// answers. The flat API drives one lasting default printer; each
// QB_PrinterOpen makes another, reached through an opaque handle.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection/answers.h"
#include "connection/device.h"
#include "connection/last_error.h"
#include "quillbar.h"

namespace quillbar {

// Who shows QB_DownPicture's stages. Replacing or removing the handler
// waits until no other thread is inside the old one, so its context may be
// freed as soon as the call returns; a handler that replaces itself does
// not wait for itself.
class MessageService {
public:
    void set(QB_MessageHandler handler, void *context);
    // Calls the handler (outside any lock); false when none is set.
    bool show(const std::string &text);
    // After fork(), in the child: the lock may have been copied held, and
    // the threads the parent had inside the handler do not exist here.
    void reset_after_fork();

private:
    struct Registration {
        QB_MessageHandler handler;
        void *context;
        std::vector<std::thread::id> inside;  // threads running it now
    };
    std::mutex lock_;
    std::condition_variable left_;
    std::shared_ptr<Registration> current_;
};

class Printer {
public:
    // owner: the printer's number (0 for the flat API's printer); shared:
    // the store its failures go to (the process store for the flat API's),
    // or none for a store of its own.
    explicit Printer(std::uint64_t owner, ErrorStore *shared = nullptr)
        : owner_(owner), errors_(shared ? *shared : own_errors_) {}
    Printer(const Printer &) = delete;
    Printer &operator=(const Printer &) = delete;
    ~Printer();

    // One command at a time on this printer; recursive, so that code running
    // inside a call may call another export on it.
    std::recursive_mutex &lock() { return lock_; }
    std::uint64_t owner() const { return owner_; }
    ErrorStore &errors() { return errors_; }
    MessageService &messages() { return messages_; }

    // Under the lock. Closes what is open, then opens path: a serial line at
    // baud for a serial port. 0, or -1 with QB_ERR_PORT_OPEN; a device whose
    // line settings did not take stays open and in use.
    int open(const std::string &path, PortKind kind, int baud);

    // Not under the lock: a write still waiting on the printer in another
    // thread gives up first, then the device is released. 0, or -1 with
    // QB_ERR_PORT_CLOSE when nothing was open or the close failed.
    int close();

    bool is_open() const { return device_ != nullptr; }

    // Under the lock: the label width in dots the caller last set (q) on
    // this connection, 0 when unknown. What lies past it is cut.
    long label_width() const { return label_width_; }
    void set_label_width(long dots) { label_width_ = dots; }

    // Under the lock: every byte, or false with the reason.
    bool write(const void *data, std::size_t size, std::string &error);

    // Under the lock: the bytes since the last job make a whole one (a
    // label up to its P line, a stored graphic). 0, or -1 with
    // QB_ERR_PORT_WRITE when a print server refuses it.
    int end_job(const std::string &what);

    // Under the lock: asks the printer for its errors (^ee) on the same line
    // and reads the answer within timeout, never longer. 0 no error, the
    // printer's code (the one most in need of the operator when there are
    // several), or -1 when the state is unknown (the route cannot answer, or
    // no answer came in time). Answers are matched to queries by counting:
    // an answer that comes while earlier queries are still unanswered is
    // theirs, one that comes when none is, is dropped; and the query goes
    // only once the line has been quiet for a moment, so that an answer
    // repeated or still on its way is never taken for this one.
    int status(std::chrono::milliseconds timeout);

    // After fork(), in the child: locks copied held start free.
    void reset_locks_after_fork();

private:
    const std::uint64_t owner_;
    ErrorStore own_errors_;
    ErrorStore &errors_;
    std::recursive_mutex lock_;
    // Guards the device pointer for close(), which interrupts without the lock.
    std::mutex device_lock_;
    std::unique_ptr<Device> device_;
    MessageService messages_;
    long labels_ = 0;            // jobs named "label N" on a print server
    long label_width_ = 0;       // q, as last set through the library
    // The printer's answers, under the lock: the queries sent and not
    // answered yet (oldest first), the longest an answer has taken, when the
    // printer last sent anything, and what it sent that is not a whole line yet.
    struct Query {
        std::uint64_t number;
        std::chrono::steady_clock::time_point sent;
    };
    std::deque<Query> asked_;
    std::uint64_t queries_ = 0;
    std::chrono::milliseconds answer_time_{0};
    std::chrono::steady_clock::time_point heard_{};
    AnswerReader answers_;

    void forget_answers_locked();
    // Reads what came, up to wait; each answer counts off the oldest query
    // still unanswered (true when it was query number `mine`, its code in
    // code). -1 when the line failed, 0 otherwise.
    int take_answers_locked(std::chrono::milliseconds wait, std::uint64_t mine, int &code, bool &got, std::string &error);
};

// The flat API's printer, for the process (never destroyed).
Printer &default_printer();

// The printer the calling thread's current call works on (set by the
// guard), the default printer outside handle calls.
Printer &current_printer();
Printer *exchange_current_printer(Printer *printer);

// Handles: a handle stands for one printer until QB_PrinterClose; it is
// never reused, so a closed handle is refused, not mistaken for a new one.
QB_Printer *register_printer(std::shared_ptr<Printer> printer);
std::shared_ptr<Printer> find_printer(QB_Printer *handle);
std::shared_ptr<Printer> unregister_printer(QB_Printer *handle);
std::uint64_t next_printer_number();
// After fork(), in the child.
void reset_printer_locks_after_fork();

}  // namespace quillbar
