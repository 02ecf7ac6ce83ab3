// The seam between the command channel and the platform: a device that takes
// bytes. Nothing below it knows about EPL2; nothing above it knows about file
// descriptors or handles.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace quillbar {

class Device {
public:
    virtual ~Device() = default;

    // Writes every byte, as one request where the device takes them all at
    // once and as more requests where it takes fewer. False when the device
    // fails, or takes no byte at all for the no-progress time.
    virtual bool write_all(const void *data, std::size_t size) = 0;

    // Releases the device. False when the platform reports the close as
    // failed; the device is released all the same.
    virtual bool close() = 0;
};

enum class PortKind { parallel, serial };

struct OpenedDevice {
    std::unique_ptr<Device> device;  // null when the device did not open
    bool configured = false;         // serial line settings took (parallel: opened)
};

// The device a port name stands for when it is not routed elsewhere.
std::string default_device(const std::string &port_name);

// Opens the device at path for exclusive use; a serial port is set to baud,
// raw 8 data bits, no parity, one stop bit. "tcp://HOST:PORT" connects to a
// network printer instead.
OpenedDevice open_device(const std::string &path, PortKind kind, int baud);

// How long a write may go without the device taking a single byte before it
// fails. Internal: tests shorten it.
void set_no_progress_timeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds no_progress_timeout();

// How long connecting to a network printer may take. Internal: tests shorten it.
void set_connect_timeout(std::chrono::milliseconds timeout);

}  // namespace quillbar
