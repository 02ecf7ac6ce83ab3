// SPDX-License-Identifier: MIT
// The flat API's port connection, and the command channel over the printer
// the current call works on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "connection/line.h"

namespace quillbar {

// The port operations behind QB_PortOpen, QB_PortClose and QB_PortSetDevice,
// on the default printer; each returns the export's result and sets the
// last-error code.
int open_port(int port, int baud);
int close_port();
int route_port(int port, const char *device);

// The line speeds a serial port takes: 9600, 19200, 38400.
bool valid_baud(int baud);

// The command channel, on the printer of the current call. Each call is one write request of the whole text or
// block. write_bytes says whether every byte was taken (false when no port
// is open), and why not in *error; send_bytes returns 0, or -1 with
// QB_ERR_PORT_WRITE and the reason.
bool write_bytes(const void *data, std::size_t size, std::string *error = nullptr);
inline bool write_text(std::string_view text) { return write_bytes(text.data(), text.size()); }
int send_bytes(const void *data, std::size_t size);
inline int send_text(std::string_view text) { return send_bytes(text.data(), text.size()); }
inline int send(Line &line) { return send_text(line.finish()); }
inline int send(Line &&line) { return send_text(line.finish()); }

// The bytes sent since the last job make a whole one: a label up to its P
// line ("label"), a stored graphic ("graphic LOGO"). A print server sends
// them as one job named after the application and what it carries; other
// devices do nothing. Returns 0, or -1 with QB_ERR_PORT_WRITE when the
// server refuses the job.
int end_job(const std::string &what);

// Whether a command line prints (P, P2, P1,3; not PA, which belongs to forms).
bool prints(std::string_view line);

// Internal, for tests: the n-th write request from now fails as a port
// would (1 = the next one); 0 turns it off.
void fail_nth_write(int n);

// Sends each line in turn, stopping at the first that fails.
template <class... Lines>
int send_each(Lines &&...lines) {
    int rc = 0;
    ((rc = rc == 0 ? send(lines) : rc), ...);
    return rc;
}

}  // namespace quillbar
