#include "connection/connection.h"

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "connection/device.h"
#include "connection/last_error.h"
#include "quillbar.h"

namespace quillbar {
namespace {

struct PortEntry {
    const char *name;
};

// Selector 1..4. A name containing "COM" is a serial port.
constexpr std::array<PortEntry, 4> kPorts{{{"LPT1"}, {"LPT2"}, {"COM1"}, {"COM2"}}};

bool valid_port(int port) { return port >= 1 && port <= static_cast<int>(kPorts.size()); }
bool valid_baud(int baud) { return baud == 9600 || baud == 19200 || baud == 38400; }

// The connection: state lives for the process and starts empty. The line end
// and quote mark are constants here (see line.h): before the first open there
// is no device, so nothing composed with empty ones could ever be written.
struct Connection {
    char port_name[10] = {};
    std::unique_ptr<Device> device;
    std::array<std::string, kPorts.size()> routes;  // "" = the default device
};

Connection &connection() {
    static Connection c;
    return c;
}

}  // namespace

int open_port(int port, int baud) {
    Connection &c = connection();
    std::memset(c.port_name, 0, sizeof c.port_name);
    if (!valid_port(port)) return fail(ERR_PARAMETER);
    const PortEntry &entry = kPorts[static_cast<std::size_t>(port - 1)];
    std::strcpy(c.port_name, entry.name);
    if (!valid_baud(baud)) return fail(ERR_PARAMETER);  // a port already open stays in use

    // Close what is open first: with exclusive use, a port left open could
    // never be opened again in this process.
    if (c.device) c.device->close();
    c.device.reset();

    const std::string &route = c.routes[static_cast<std::size_t>(port - 1)];
    const std::string path = route.empty() ? default_device(entry.name) : route;
    const PortKind kind = std::strstr(c.port_name, "COM") ? PortKind::serial : PortKind::parallel;
    OpenedDevice opened = open_device(path, kind, baud);
    // A serial port whose settings did not take stays open and in use.
    c.device = std::move(opened.device);
    if (!c.device || !opened.configured) return fail(ERR_PORT_OPEN);
    return 0;
}

int close_port() {
    Connection &c = connection();
    if (!c.device) return fail(ERR_PORT_CLOSE);
    const bool closed = c.device->close();
    c.device.reset();
    return closed ? 0 : fail(ERR_PORT_CLOSE);
}

int route_port(int port, const char *device) {
    if (!valid_port(port)) return fail(ERR_PARAMETER);
    connection().routes[static_cast<std::size_t>(port - 1)] = device ? device : "";
    return 0;
}

std::atomic<int> g_writes_until_failure{0};

void fail_nth_write(int n) { g_writes_until_failure.store(n); }

bool write_bytes(const void *data, std::size_t size) {
    if (g_writes_until_failure.load(std::memory_order_relaxed) > 0 && --g_writes_until_failure == 0) return false;
    Device *device = connection().device.get();
    return device && device->write_all(data, size);
}

int send_bytes(const void *data, std::size_t size) { return write_bytes(data, size) ? 0 : fail(ERR_PORT_WRITE); }

}  // namespace quillbar
