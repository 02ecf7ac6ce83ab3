// SPDX-License-Identifier: MIT
// The routes a device name may take besides a path: one row a scheme, and
// who opens it. A new kind of route is a row here and an opener in the
// platform's device file.
#include <string>

#include "connection/device.h"

namespace quillbar {
namespace {

struct Route {
    const char *scheme;
    OpenedDevice (*open)(const std::string &route);
};

constexpr Route kRoutes[] = {
    {"tcp://", open_network_printer},
    {"cups:", open_print_server},
    {"ipp://", open_print_server},
    {"ipps://", open_print_server},
    {"printer:", open_printer_queue},
};

}  // namespace

OpenedDevice open_device(const std::string &name, PortKind kind, int baud) {
    for (const Route &route : kRoutes)
        if (name.rfind(route.scheme, 0) == 0) return route.open(name);
    return open_path(name, kind, baud);
}

}  // namespace quillbar
