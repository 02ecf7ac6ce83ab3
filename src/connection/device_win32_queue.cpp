// SPDX-License-Identifier: MIT
// Installed printers on Windows ("printer:NAME", "printer:" for the user's
// default): the spooler takes each label, up to its P line, as one RAW
// document, as the spooler's own raw-printing calls do. Names are UTF-8
// here and UTF-16 for the spooler.
#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "connection/device.h"
#include "connection/pending_job.h"

namespace quillbar {
namespace {

std::wstring wide(const std::string &utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t *text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<std::size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

// The spooler's reason, in UTF-8.
std::string spooler_said(DWORD error) {
    wchar_t text[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 512, nullptr);
    std::string said = narrow(text);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' ')) said.pop_back();
    return said.empty() ? "error " + std::to_string(error) : said;
}

class QueueDevice final : public Device {
public:
    QueueDevice(HANDLE printer, std::string route) : printer_(printer), route_(std::move(route)) {}
    ~QueueDevice() override { Device::close(); }

    bool write_all(const void *data, std::size_t size, std::string &error) override {
        if (!printer_) {
            error = "no port is open";
            return false;
        }
        return pending_.add(data, size, error);
    }

    bool end_job(const std::string &title, std::string &error) override {
        std::vector<char> document;
        if (!pending_.take(title, document, error)) return false;
        if (document.empty()) return true;
        std::wstring name = wide(title);
        wchar_t raw[] = L"RAW";
        DOC_INFO_1W info{name.data(), nullptr, raw};
        if (StartDocPrinterW(printer_, 1, reinterpret_cast<BYTE *>(&info)) == 0) {
            error = route_ + " refused the document \"" + title + "\": " + spooler_said(GetLastError());
            return false;
        }
        bool ok = true;
        for (std::size_t done = 0; ok && done < document.size();) {
            DWORD written = 0;
            const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(document.size() - done, 1u << 20));
            ok = WritePrinter(printer_, document.data() + done, ask, &written) != 0 && written > 0;
            done += written;
        }
        const DWORD why = ok ? 0 : GetLastError();
        if (EndDocPrinter(printer_) == 0 && ok) {
            error = route_ + " did not take the document \"" + title + "\": " + spooler_said(GetLastError());
            return false;
        }
        if (!ok) error = "the document \"" + title + "\" did not reach " + route_ + ": " + spooler_said(why);
        return ok;
    }

    bool close(std::string &error) override {
        if (!printer_) return true;
        // What is still pending goes as a document of its own.
        const bool sent = end_job("quillbar: lines sent after the last label", error);
        ClosePrinter(printer_);
        printer_ = nullptr;
        return sent;
    }

private:
    HANDLE printer_;
    std::string route_;
    PendingJob pending_{route_};
};

}  // namespace

OpenedDevice open_printer_queue(const std::string &route) {
    OpenedDevice result;
    std::wstring name = wide(route.substr(route.find(':') + 1));
    if (name.empty()) {
        DWORD size = 0;
        GetDefaultPrinterW(nullptr, &size);
        std::wstring fallback(size, L'\0');
        if (size == 0 || !GetDefaultPrinterW(fallback.data(), &size)) {
            result.error = "there is no default printer for " + route + ": " + spooler_said(GetLastError());
            return result;
        }
        name.assign(fallback.c_str());
    }
    HANDLE printer = nullptr;
    if (!OpenPrinterW(name.data(), &printer, nullptr)) {
        result.error = "no printer \"" + narrow(name.c_str()) + "\" is installed (" + route + "): " +
                       spooler_said(GetLastError());
        return result;
    }
    result.device.reset(new QueueDevice(printer, route));
    result.configured = true;
    return result;
}

bool printer_queues(std::vector<std::string> &names, std::string &) {
    names.clear();
    DWORD needed = 0, count = 0;
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    EnumPrintersW(flags, nullptr, 4, nullptr, 0, &needed, &count);
    if (needed == 0) return true;
    std::vector<BYTE> buffer(needed);
    if (!EnumPrintersW(flags, nullptr, 4, buffer.data(), needed, &needed, &count)) return true;
    const auto *info = reinterpret_cast<const PRINTER_INFO_4W *>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        if (info[i].pPrinterName) names.push_back("printer:" + narrow(info[i].pPrinterName));
    return true;
}

}  // namespace quillbar
