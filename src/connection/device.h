// SPDX-License-Identifier: MIT
// The seam between the command channel and the platform: a device that takes
// bytes. Nothing below it knows about EPL2; nothing above it knows about file
// descriptors or handles.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillbar {

class Device {
public:
    virtual ~Device() = default;

    // Writes every byte, as one request where the device takes them all at
    // once and as more requests where it takes fewer. False, with the reason
    // in error, when the device fails, takes no byte at all for the
    // no-progress time, or interrupt() is called meanwhile.
    virtual bool write_all(const void *data, std::size_t size, std::string &error) = 0;

    // As write_all, and gives up at deadline as well (a status query keeps
    // to its timeout). Devices that cannot bound a write keep to write_all's.
    virtual bool write_within(const void *data, std::size_t size, std::chrono::steady_clock::time_point deadline,
                              std::string &error) {
        (void)deadline;
        return write_all(data, size, error);
    }

    // Releases the device. False, with the reason in error, when the
    // platform reports the close as failed, or bytes are known lost (the
    // connection failed); the device is released all the same. A close that
    // succeeds may still leave a notice (below).
    virtual bool close(std::string &error) = 0;
    bool close() {
        std::string ignored;
        return close(ignored);
    }

    // The bytes written since the last job make a whole job (a label up to
    // its P line, a stored graphic), named title. Devices that are not
    // print servers have nothing to do. False, with the reason in error,
    // when the server refuses it.
    virtual bool end_job(const std::string &title, std::string &error) {
        (void)title;
        (void)error;
        return true;
    }

    // Whether the printer's answers come back on this device (a terminal, a
    // network printer); files, FIFOs, parallel ports and print servers
    // carry none.
    virtual bool answers() const { return false; }

    // Reads what the printer sent: up to size bytes, waiting at most wait
    // for the first. The number read, 0 when nothing came in time, or -1
    // with the reason.
    virtual long read_some(void *data, std::size_t size, std::chrono::milliseconds wait, std::string &error) {
        (void)data;
        (void)size;
        (void)wait;
        error = "this route carries no answers";
        return -1;
    }

    // Makes a write in progress, in any thread, fail at once, and every
    // later one: the device is about to be closed from another thread.
    void interrupt() {
        interrupted_.store(true);
        on_interrupt();
    }
    // What a device does besides, for a wait the flag alone cannot end.
    virtual void on_interrupt() {}
    bool interrupted() const { return interrupted_.load(std::memory_order_relaxed); }

    // What the last close has to say although nothing is known lost: bytes
    // the printer had not confirmed when close stopped waiting, which the
    // system goes on sending (they may still print). 0 and "" otherwise.
    long unconfirmed() const { return unconfirmed_; }
    const std::string &notice() const { return notice_; }

protected:
    void set_unconfirmed(long bytes, std::string notice) {
        unconfirmed_ = bytes;
        notice_ = std::move(notice);
    }

private:
    std::atomic<bool> interrupted_{false};
    long unconfirmed_ = 0;
    std::string notice_;
};

enum class PortKind { parallel, serial };

struct OpenedDevice {
    std::unique_ptr<Device> device;  // null when the device did not open
    bool configured = false;         // line settings took, or none were needed
    std::string error;               // why not, in words, with the system's reason
};

// The device a port name stands for when it is not routed elsewhere.
std::string default_device(const std::string &port_name);

// Opens what a device name names, for exclusive use: a route of the table
// in routes.cpp (a network printer "tcp://HOST:PORT", a print server
// "cups:QUEUE", "ipp://HOST[:PORT]/RESOURCE", "ipps://...") by its scheme,
// anything else as a path.
OpenedDevice open_device(const std::string &name, PortKind kind, int baud);

// The openers the route table calls, one a kind of route, each provided by
// the platform's device file:
// A path: a device node or a file. A terminal is set to raw 8 data bits, no
// parity, one stop bit, at baud when the port is serial (a parallel port
// routed to a terminal keeps its speed); anything else (a file, a FIFO, a
// socket, /dev/null) takes no line settings. A FIFO is opened for writing
// only and fails to open without a reader.
OpenedDevice open_path(const std::string &path, PortKind kind, int baud);
// A network printer: raw EPL2 on a TCP port.
OpenedDevice open_network_printer(const std::string &route);
// A print server: each job a raw print job.
OpenedDevice open_print_server(const std::string &route);
// Internal, for tests: the file name print-server routes load libcups by
// ("" for the usual "libcups.so.2"); takes effect at the next open.
void set_print_server_library(const std::string &soname);
// An installed printer ("printer:NAME", "printer:" the default one): a
// Windows printer queue, or on POSIX the print server's queue of that name.
OpenedDevice open_printer_queue(const std::string &route);

// The printers a program can name, as routes ("printer:NAME" on Windows,
// "cups:NAME", the queues of the print server, elsewhere); none when there
// is no print server. False, with why, when the server cannot be asked (it
// wants a password, or does not answer in the no-progress time).
bool printer_queues(std::vector<std::string> &names, std::string &error);

// How long a write may go without the device taking a single byte before it
// fails. Internal: tests shorten it.
void set_no_progress_timeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds no_progress_timeout();


// How long connecting to a network printer or print server may take.
// Internal: tests shorten it.
void set_connect_timeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds connect_timeout();

}  // namespace quillbar
