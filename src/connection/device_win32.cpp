// SPDX-License-Identifier: MIT
// Devices on Windows: COM ports (DCB), LPT ports, and anything else a port is
// routed to (\\.\COM10, a file that captures the stream).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "connection/device.h"

namespace quillbar {
namespace {

std::atomic<long long> g_no_progress_ms{15000};

std::string reason(const std::string &what, DWORD error) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text,
                   nullptr);
    std::string said = text;
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' ')) said.pop_back();
    return what + ": " + (said.empty() ? "error " + std::to_string(error) : said);
}

class Win32Device final : public Device {
public:
    Win32Device(HANDLE handle, std::string path, bool comm) : handle_(handle), path_(std::move(path)), comm_(comm) {}
    ~Win32Device() override { Device::close(); }

    // A COM port gives up a write after the no-progress time through its
    // write time-out (see open_device); a write that took nothing then fails,
    // one that took some bytes goes on with the rest.
    bool write_all(const void *data, std::size_t size, std::string &error) override {
        const auto *p = static_cast<const char *>(data);
        while (size > 0) {
            if (interrupted()) {
                error = "the write to " + path_ + " was ended by closing the port from another thread";
                return false;
            }
            DWORD written = 0;
            const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            if (!WriteFile(handle_, p, ask, &written, nullptr)) {
                error = reason("cannot write to " + path_, GetLastError());
                return false;
            }
            if (written == 0) {
                error = path_ + " took no byte: is the printer on and ready?";
                return false;
            }
            p += written;
            size -= written;
        }
        return true;
    }

    bool close(std::string &error) override {
        if (handle_ == INVALID_HANDLE_VALUE) return true;
        const BOOL closed = CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        if (!closed) error = reason("cannot close " + path_, GetLastError());
        return closed != 0;
    }

    // A COM port carries the printer's answers back.
    bool answers() const override { return comm_; }

    // A read that returns as soon as a byte is there, or after the wait.
    long read_some(void *data, std::size_t size, std::chrono::milliseconds wait, std::string &error) override {
        COMMTIMEOUTS timeouts{};
        if (!comm_ || !GetCommTimeouts(handle_, &timeouts)) {
            error = "cannot read from " + path_;
            return -1;
        }
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(std::max<long long>(1, wait.count()));
        DWORD got = 0;
        if (!SetCommTimeouts(handle_, &timeouts) ||
            !ReadFile(handle_, data, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 16)), &got, nullptr)) {
            error = reason("cannot read from " + path_, GetLastError());
            return -1;
        }
        return static_cast<long>(got);
    }

private:
    HANDLE handle_;
    std::string path_;
    bool comm_;
};

// The line: baud, binary, no parity checking, 8 data bits, no parity, one
// stop bit; everything else as the port had it. Read back to be sure.
bool configure_serial(HANDLE handle, int baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle, &dcb);  // a port whose settings cannot be read is still set up
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(handle, &dcb)) return false;
    DCB back{};
    back.DCBlength = sizeof back;
    return GetCommState(handle, &back) && back.BaudRate == dcb.BaudRate && back.ByteSize == 8 &&
           back.Parity == NOPARITY && back.StopBits == ONESTOPBIT;
}

// A printer that takes no byte for the no-progress time must not hang the
// caller: the port's write time-out, a constant with no per-byte part.
void limit_writes(HANDLE handle) {
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(handle, &timeouts)) return;  // not a COM port
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(g_no_progress_ms.load());
    SetCommTimeouts(handle, &timeouts);
}

}  // namespace

// Windows knows its ports by name.
std::string default_device(const std::string &port_name) { return port_name; }

void set_no_progress_timeout(std::chrono::milliseconds timeout) { g_no_progress_ms.store(timeout.count()); }
std::chrono::milliseconds no_progress_timeout() { return std::chrono::milliseconds{g_no_progress_ms.load()}; }
void set_connect_timeout(std::chrono::milliseconds) {}
std::chrono::milliseconds connect_timeout() { return std::chrono::milliseconds{5000}; }

// Network printers and print servers are reached on POSIX hosts only for now.
OpenedDevice open_network_printer(const std::string &route) {
    OpenedDevice result;
    result.error = "network printers (" + route + ") are reached on POSIX hosts only";
    return result;
}

OpenedDevice open_print_server(const std::string &route) {
    OpenedDevice result;
    result.error = "print servers (" + route + ") are reached on POSIX hosts only";
    return result;
}

void set_print_server_library(const std::string &) {}


OpenedDevice open_path(const std::string &path, PortKind kind, int baud) {
    OpenedDevice result;
    // Read and write, not shared with any other opener, existing devices only.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    // Nothing is ever read back, so a printer that refuses read access is
    // opened for writing only.
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        result.error = reason("cannot open " + path, GetLastError());
        return result;
    }
    // A file that captures the stream keeps what it held.
    if (GetFileType(handle) == FILE_TYPE_DISK) SetFilePointer(handle, 0, nullptr, FILE_END);
    // Line settings belong to communications devices only: a file, a pipe or
    // NUL takes none; a COM device gets a binary line whatever the selector,
    // keeping its speed for a parallel one.
    DCB probe{};
    probe.DCBlength = sizeof probe;
    const bool comm = GetCommState(handle, &probe) != 0;
    result.configured =
        !comm || configure_serial(handle, kind == PortKind::serial ? baud : static_cast<int>(probe.BaudRate));
    if (!result.configured) result.error = "the line settings of " + path + " did not take";
    limit_writes(handle);
    try {
        result.device.reset(new Win32Device(handle, path, comm));
    } catch (...) {
        CloseHandle(handle);
        throw;
    }
    return result;
}

}  // namespace quillbar
