// SPDX-License-Identifier: MIT
#include "connection/connection.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "connection/device.h"
#include "connection/guard.h"
#include "connection/lasting.h"
#include "connection/last_error.h"
#include "connection/printer.h"
#include "quillbar.h"

namespace quillbar {
namespace {

struct PortEntry {
    const char *name;
};

// Selector 1..4. A name containing "COM" is a serial port.
constexpr std::array<PortEntry, 4> kPorts{{{"LPT1"}, {"LPT2"}, {"COM1"}, {"COM2"}}};

bool valid_port(int port) { return port >= 1 && port <= static_cast<int>(kPorts.size()); }

// The flat API's connection: the port last opened and where each selector
// is routed. State lives for the process and starts empty; it is never
// destroyed (see lasting.h). The line end and quote mark are constants (see
// line.h): before the first open there is no device, so nothing composed
// with empty ones could ever be written.
struct Connection {
    char port_name[10] = {};
    std::array<std::string, kPorts.size()> routes;  // "" = the default device
};

Connection &connection() { return lasting<Connection>(); }

}  // namespace

bool valid_baud(int baud) { return baud == 9600 || baud == 19200 || baud == 38400; }

int open_port(int port, int baud) {
    Connection &c = connection();
    std::memset(c.port_name, 0, sizeof c.port_name);
    if (!valid_port(port)) return fail_parameter("port %d is not 1 (LPT1), 2 (LPT2), 3 (COM1) or 4 (COM2)", port);
    const PortEntry &entry = kPorts[static_cast<std::size_t>(port - 1)];
    std::strcpy(c.port_name, entry.name);
    // A port already open stays in use.
    if (!valid_baud(baud)) return fail_parameter("baud %d is not 9600, 19200 or 38400", baud);
    const std::string &route = c.routes[static_cast<std::size_t>(port - 1)];
    const std::string path = route.empty() ? default_device(entry.name) : route;
    const PortKind kind = std::strstr(c.port_name, "COM") ? PortKind::serial : PortKind::parallel;
    return default_printer().open(path, kind, baud);
}

int close_port() {
    clear_notice();  // the calling thread's: this close's notice, or none
    return default_printer().close();
}

int route_port(int port, const char *device) {
    if (!valid_port(port)) return fail_parameter("port %d is not 1 (LPT1), 2 (LPT2), 3 (COM1) or 4 (COM2)", port);
    connection().routes[static_cast<std::size_t>(port - 1)] = device ? device : "";
    return 0;
}

std::atomic<int> g_writes_until_failure{0};

void fail_nth_write(int n) { g_writes_until_failure.store(n); }

bool write_bytes(const void *data, std::size_t size, std::string *error) {
    std::string ignored;
    std::string &why = error ? *error : ignored;
    if (g_writes_until_failure.load(std::memory_order_relaxed) > 0 && --g_writes_until_failure == 0) {
        why = "the port failed (injected)";
        return false;
    }
    return current_printer().write(data, size, why);
}

int end_job(const std::string &what) { return current_printer().end_job(what); }

bool prints(std::string_view line) {
    if (line.empty() || line[0] != 'P') return false;
    for (std::size_t i = 1; i < line.size(); ++i)
        if ((line[i] < '0' || line[i] > '9') && line[i] != ',') return false;
    return true;
}

int send_bytes(const void *data, std::size_t size) {
    std::string error;
    return write_bytes(data, size, &error) ? 0 : fail(QB_ERR_PORT_WRITE, error);
}

}  // namespace quillbar
