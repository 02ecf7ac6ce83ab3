// SPDX-License-Identifier: MIT
// Print servers as devices: a queue of the local CUPS server ("cups:QUEUE")
// or a queue or IPP printer elsewhere ("ipp://HOST[:PORT]/RESOURCE",
// "ipps://..."). What is written is kept until the layer above says a job
// is whole (a label up to its P line, a stored graphic); each job goes to
// the server as one raw print job.
#include "connection/device.h"

#if QUILLBAR_HAVE_CUPS
#include <cups/cups.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace quillbar {
namespace {

// A label, or anything sent between two jobs, larger than this is refused:
// a stream that never prints must not grow without end.
constexpr std::size_t kMaxJob = 64u << 20;

struct Destination {
    std::string host;
    int port = 0;
    std::string resource;  // "/printers/QUEUE", "/ipp/print", ...
    std::string uri;       // printer-uri
    http_encryption_t encryption = HTTP_ENCRYPTION_IF_REQUESTED;
};

bool parse(const std::string &route, Destination &d, std::string &error) {
    if (route.compare(0, 5, "cups:") == 0) {
        const std::string queue = route.substr(5);
        if (queue.empty() || queue.find_first_of("/ \t#") != std::string::npos) {
            error = route + " is not cups:QUEUE";
            return false;
        }
        // The local server, as libcups finds it at this open (CUPS_SERVER,
        // client.conf, the domain socket), not as it found it once before.
        cupsSetServer(nullptr);
        d.host = cupsServer();
        d.port = ippPort();
        d.encryption = cupsEncryption();
        d.resource = "/printers/" + queue;
        d.uri = "ipp://localhost/printers/" + queue;
        return true;
    }
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, route.c_str(), scheme, sizeof scheme, user, sizeof user, host, sizeof host,
                        &port, resource, sizeof resource) < HTTP_URI_STATUS_OK ||
        (std::strcmp(scheme, "ipp") != 0 && std::strcmp(scheme, "ipps") != 0) || !host[0]) {
        error = route + " is not ipp://HOST[:PORT]/RESOURCE";
        return false;
    }
    d.host = host;
    d.port = port;
    d.resource = resource[0] ? resource : "/";
    d.uri = route;
    d.encryption = std::strcmp(scheme, "ipps") == 0 ? HTTP_ENCRYPTION_ALWAYS : HTTP_ENCRYPTION_IF_REQUESTED;
    return true;
}

std::string server_said() { return cupsLastErrorString() ? cupsLastErrorString() : "no reason given"; }

class PrintServerDevice final : public Device {
public:
    PrintServerDevice(http_t *http, Destination d, std::string format, std::string route)
        : http_(http), d_(std::move(d)), format_(std::move(format)), route_(std::move(route)) {}
    ~PrintServerDevice() override { Device::close(); }

    bool write_all(const void *data, std::size_t size, std::string &error) override {
        if (!http_) {
            error = "no port is open";
            return false;
        }
        if (pending_.size() + size > kMaxJob) {
            error = "more than " + std::to_string(kMaxJob >> 20) + " MB sent to " + route_ + " without a P line";
            pending_.clear();
            return false;
        }
        const auto *p = static_cast<const char *>(data);
        pending_.insert(pending_.end(), p, p + size);
        return true;
    }

    bool end_job(const std::string &title, std::string &error) override {
        if (pending_.empty()) return true;
        std::vector<char> job;
        job.swap(pending_);  // sent or refused, these bytes are done with
        ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, d_.uri.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format_.c_str());
        // The job's bytes go from an anonymous file in memory: libcups sends
        // a request and a file of known length as one HTTP body.
        const int data = memfd_create("quillbar-job", MFD_CLOEXEC);
        bool staged = data >= 0;
        for (std::size_t done = 0; staged && done < job.size();) {
            const ssize_t n = ::write(data, job.data() + done, job.size() - done);
            if (n < 0 && errno == EINTR) continue;
            staged = n > 0;
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        if (!staged || ::lseek(data, 0, SEEK_SET) != 0) {
            error = "cannot stage the job for " + route_ + ": " + std::strerror(errno);
            ippDelete(request);
            if (data >= 0) ::close(data);
            return false;
        }
        ipp_t *response = cupsDoIORequest(http_, request, d_.resource.c_str(), data, -1);  // frees the request
        ::close(data);
        const bool ok = response && ippGetStatusCode(response) <= IPP_STATUS_OK_EVENTS_COMPLETE;
        if (!response)
            error = "the job \"" + title + "\" did not reach " + route_ + ": the print server does not answer (" +
                    std::strerror(httpError(http_) ? httpError(http_) : ECONNRESET) + ")";
        else if (!ok)
            error = route_ + " refused the job \"" + title + "\": " + server_said();
        ippDelete(response);
        return ok;
    }

    bool close(std::string &error) override {
        if (!http_) return true;
        // What is still pending goes as a job of its own.
        const bool sent = end_job(title_of_rest_, error);
        httpClose(std::exchange(http_, nullptr));
        return sent;
    }

    void set_rest_title(std::string title) { title_of_rest_ = std::move(title); }

private:
    http_t *http_;
    Destination d_;
    std::string format_;
    std::string route_;
    std::vector<char> pending_;
    std::string title_of_rest_ = "quillbar: lines sent after the last label";
};

}  // namespace

OpenedDevice open_print_server(const std::string &route) {
    OpenedDevice result;
    Destination d;
    if (!parse(route, d, result.error)) return result;
    http_t *http = httpConnect2(d.host.c_str(), d.port, nullptr, AF_UNSPEC, d.encryption, 1,
                                static_cast<int>(connect_timeout().count()), nullptr);
    if (!http) {
        result.error = "cannot reach the print server of " + route + ": " + server_said();
        return result;
    }
    httpSetTimeout(http, 15.0, nullptr, nullptr);
    // The destination must exist and accept jobs; its document formats say
    // whether it takes EPL2 by name.
    static const char *const kWanted[] = {"printer-state", "printer-is-accepting-jobs", "printer-state-message",
                                          "printer-state-reasons", "document-format-supported"};
    ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, d.uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 5, nullptr, kWanted);
    ipp_t *response = cupsDoRequest(http, request, d.resource.c_str());
    std::string format = "application/vnd.cups-raw";
    if (!response || ippGetStatusCode(response) > IPP_STATUS_OK_EVENTS_COMPLETE) {
        result.error = "no printer or queue at " + route + ": " + server_said();
    } else {
        ipp_attribute_t *accepting = ippFindAttribute(response, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
        ipp_attribute_t *state = ippFindAttribute(response, "printer-state", IPP_TAG_ENUM);
        ipp_attribute_t *message = ippFindAttribute(response, "printer-state-message", IPP_TAG_TEXT);
        const std::string why = message && ippGetString(message, 0, nullptr) && *ippGetString(message, 0, nullptr)
                                    ? std::string(": ") + ippGetString(message, 0, nullptr)
                                    : std::string();
        if (accepting && !ippGetBoolean(accepting, 0))
            result.error = route + " is not accepting jobs" + why;
        else if (state && ippGetInteger(state, 0) == IPP_PSTATE_STOPPED)
            result.error = route + " is stopped" + why;
        ipp_attribute_t *formats = ippFindAttribute(response, "document-format-supported", IPP_TAG_MIMETYPE);
        bool raw = false;
        for (int i = 0; formats && i < ippGetCount(formats); ++i) {
            const std::string f = ippGetString(formats, i, nullptr);
            if (f.find("epl") != std::string::npos) format = f;  // the printer's EPL2 format
            raw = raw || f == "application/vnd.cups-raw";
        }
        if (format == "application/vnd.cups-raw" && formats && !raw) format = "application/octet-stream";
    }
    ippDelete(response);
    if (!result.error.empty()) {
        httpClose(http);
        return result;
    }
    result.device.reset(new PrintServerDevice(http, d, format, route));
    result.configured = true;
    return result;
}

}  // namespace quillbar

#else  // no libcups on this host

namespace quillbar {

OpenedDevice open_print_server(const std::string &route) {
    OpenedDevice result;
    result.error = route + ": this build of quillbar has no print-server support (libcups)";
    return result;
}

}  // namespace quillbar

#endif
