// Devices on Windows: COM ports (DCB), LPT ports, and anything else a port is
// routed to (\\.\COM10, a file that captures the stream).
#include <windows.h>

#include <algorithm>
#include <atomic>

#include "connection/device.h"

namespace quillbar {
namespace {

std::atomic<long long> g_no_progress_ms{15000};

class Win32Device final : public Device {
public:
    explicit Win32Device(HANDLE handle) : handle_(handle) {}
    ~Win32Device() override { close(); }

    // A COM port gives up a write after the no-progress time through its
    // write time-out (see open_device); a write that took nothing then fails,
    // one that took some bytes goes on with the rest.
    bool write_all(const void *data, std::size_t size) override {
        const auto *p = static_cast<const char *>(data);
        while (size > 0) {
            DWORD written = 0;
            const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            if (!WriteFile(handle_, p, ask, &written, nullptr) || written == 0) return false;
            p += written;
            size -= written;
        }
        return true;
    }

    bool close() override {
        if (handle_ == INVALID_HANDLE_VALUE) return true;
        const BOOL closed = CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return closed != 0;
    }

private:
    HANDLE handle_;
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

OpenedDevice open_device(const std::string &path, PortKind kind, int baud) {
    // Network printers are reached on POSIX hosts only for now.
    if (path.rfind("tcp://", 0) == 0) return {};
    // Read and write, not shared with any other opener, existing devices only.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    // Nothing is ever read back, so a printer that refuses read access is
    // opened for writing only.
    if (handle == INVALID_HANDLE_VALUE && kind == PortKind::parallel && GetLastError() == ERROR_ACCESS_DENIED)
        handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {};
    // A file that captures the stream keeps what it held.
    if (GetFileType(handle) == FILE_TYPE_DISK) SetFilePointer(handle, 0, nullptr, FILE_END);
    const bool configured = kind == PortKind::parallel || configure_serial(handle, baud);
    limit_writes(handle);
    try {
        return {std::unique_ptr<Device>(new Win32Device(handle)), configured};
    } catch (...) {
        CloseHandle(handle);
        throw;
    }
}

}  // namespace quillbar
