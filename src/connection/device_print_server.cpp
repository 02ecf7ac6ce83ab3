// SPDX-License-Identifier: MIT
// Print servers as devices: a queue of the local CUPS server ("cups:QUEUE")
// or a queue or IPP printer elsewhere ("ipp://HOST[:PORT]/RESOURCE",
// "ipps://..."). What is written is kept until the layer above says a job
// is whole (a label up to its P line, a stored graphic); each job goes to
// the server as one raw print job.
#include "connection/device.h"
#include "connection/pending_job.h"

#if QUILLBAR_HAVE_CUPS
#include <cups/cups.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "connection/cups_library.h"
#include "connection/job_outcome.h"

namespace quillbar {
namespace {

struct Destination {
    std::string host;
    int port = 0;
    std::string resource;  // "/printers/QUEUE", "/ipp/print", ...
    std::string uri;       // printer-uri
    http_encryption_t encryption = HTTP_ENCRYPTION_IF_REQUESTED;
};

std::string server_said() { return cups().cupsLastErrorString() ? cups().cupsLastErrorString() : "no reason given"; }

// The local server, as libcups finds it now (CUPS_SERVER, client.conf, the
// domain socket), not as it found it once before.
Destination local_server() {
    cups().cupsSetServer(nullptr);
    Destination d;
    d.host = cups().cupsServer();
    d.port = cups().ippPort();
    d.encryption = cups().cupsEncryption();
    return d;
}

http_t *connect_to(const Destination &d);
std::string silence(http_t *http);
bool wants_password();
std::string password_refusal(const std::string &route);

// Asks the local server one question (a request of no printer's) over a
// connection of our own, so that the connect and no-progress times hold: an
// answer with a good status, or null with why. No server running: null and
// no reason.
ipp_t *ask_local_server(ipp_op_t operation, const char *const *wanted, int count, const std::string &what,
                        std::string &error) {
    const Destination d = local_server();
    http_t *http = connect_to(d);
    if (!http) return nullptr;
    ipp_t *request = cups().ippNewRequest(operation);
    cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cups().cupsUser());
    cups().ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", count, nullptr, wanted);
    ipp_t *response = cups().cupsDoRequest(http, request, "/");
    if (wants_password() || (response && cups().ippGetStatusCode(response) == IPP_STATUS_ERROR_NOT_AUTHORIZED)) {
        error = password_refusal(what);
    } else if (!response) {
        error = what + ": the print server does not answer (" + silence(http) + ")";
    } else if (cups().ippGetStatusCode(response) > IPP_STATUS_OK_EVENTS_COMPLETE &&
               cups().ippGetStatusCode(response) != IPP_STATUS_ERROR_NOT_FOUND) {
        error = what + ": the print server refused: " + server_said();
    }
    cups().httpClose(http);
    if (error.empty()) return response;
    cups().ippDelete(response);
    return nullptr;
}

// The local server's default destination.
bool default_queue(const std::string &route, std::string &queue, std::string &error) {
    static const char *const kWanted[] = {"printer-name"};
    ipp_t *response = ask_local_server(IPP_OP_CUPS_GET_DEFAULT, kWanted, 1, route, error);
    ipp_attribute_t *name = response ? cups().ippFindAttribute(response, "printer-name", IPP_TAG_NAME) : nullptr;
    if (name && cups().ippGetString(name, 0, nullptr)) queue = cups().ippGetString(name, 0, nullptr);
    cups().ippDelete(response);
    if (!queue.empty()) return true;
    if (error.empty()) error = "there is no default printer for " + route;
    return false;
}

bool parse(const std::string &route, Destination &d, std::string &error) {
    // "printer:NAME" is a queue of the local server too, as "cups:NAME";
    // "printer:" alone is its default destination.
    const bool installed = route.compare(0, 8, "printer:") == 0;
    if (route.compare(0, 5, "cups:") == 0 || installed) {
        std::string queue = route.substr(installed ? 8 : 5);
        if (installed && queue.empty() && !default_queue(route, queue, error)) return false;
        if (queue.empty() || queue.find_first_of("/ \t#") != std::string::npos) {
            error = route + " is not cups:QUEUE";
            return false;
        }
        d = local_server();
        d.resource = "/printers/" + queue;
        d.uri = "ipp://localhost/printers/" + queue;
        return true;
    }
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (cups().httpSeparateURI(HTTP_URI_CODING_ALL, route.c_str(), scheme, sizeof scheme, user, sizeof user, host, sizeof host,
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


// Why a request got no answer: the line's own error where it has one,
// otherwise the server stayed silent (libcups then says "Success").
std::string silence(http_t *http) {
    const int e = cups().httpError(http);
    if (e && e != EAGAIN && e != EWOULDBLOCK && e != ETIMEDOUT) return std::strerror(e);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.0f", static_cast<double>(no_progress_timeout().count()) / 1000.0);
    return std::string("no answer in ") + seconds + " s";
}

// No answer because none came in time, not because the line broke.
bool timed_out(http_t *http) {
    const int e = cups().httpError(http);
    return e == 0 || e == EAGAIN || e == EWOULDBLOCK || e == ETIMEDOUT;
}

bool wants_password() {
    const ipp_status_t s = cups().cupsLastError();
    // A 401 whose credentials nobody gave is "not authenticated".
    return s == IPP_STATUS_ERROR_NOT_AUTHENTICATED || s == IPP_STATUS_ERROR_NOT_AUTHORIZED ||
           s == IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED || s == IPP_STATUS_ERROR_FORBIDDEN;
}

std::string password_refusal(const std::string &route) {
    JobFacts facts;
    facts.wants_password = true;
    return describe(JobOutcome::needs_password, facts, "", route, "");
}

// libcups' own password callback asks on the terminal and waits for an
// answer: a label program must never stop there. libcups keeps the callback
// per thread, so every path that calls it sets ours first, in its own thread.
const char *no_password(const char *, http_t *, const char *, const char *, void *) { return nullptr; }
void never_ask_for_a_password() { cups().cupsSetPasswordCB2(no_password, nullptr); }

// Why the server of a route could not be reached: libcups reports every
// failed connect as "Host is down", so the reason is asked of the system.
std::string unreachable(const std::string &host, int port) {
    const bool local = !host.empty() && host[0] == '/';
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string where = local ? host : host + " port " + std::to_string(port);
    if (!local && ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return "cannot find " + host;
    int error = EHOSTUNREACH;
    if (local) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", host.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        error = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? 0 : errno;
        if (fd >= 0) ::close(fd);
    } else {
        for (addrinfo *a = found; a; a = a->ai_next) {
            const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
            error = fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
            if (fd >= 0) ::close(fd);
            if (error == 0) break;
        }
        ::freeaddrinfo(found);
    }
    return where + ": " + (error ? std::strerror(error) : "it took the connection, then no answer came");
}

http_t *connect_to(const Destination &d) {
    http_t *http = cups().httpConnect2(d.host.c_str(), d.port, nullptr, AF_UNSPEC, d.encryption, 1,
                                static_cast<int>(connect_timeout().count()), nullptr);
    if (http) cups().httpSetTimeout(http, static_cast<double>(no_progress_timeout().count()) / 1000.0, nullptr, nullptr);
    return http;
}

class PrintServerDevice final : public Device {
public:
    PrintServerDevice(http_t *http, Destination d, std::string format, std::string route)
        : http_(http), d_(std::move(d)), format_(std::move(format)), route_(std::move(route)), owner_(::getpid()) {}
    ~PrintServerDevice() override { Device::close(); }

    bool write_all(const void *data, std::size_t size, std::string &error) override {
        if (!http_) {
            error = "no port is open";
            return false;
        }
        return pending_.add(data, size, error);
    }

    // A close from another thread: a job waiting on a silent server gives up.
    void on_interrupt() override {
        if (http_) ::shutdown(cups().httpGetFd(http_), SHUT_RDWR);
    }

    bool end_job(const std::string &title, std::string &error) override {
        std::vector<char> job;
        if (!pending_.take(title, job, error)) return false;
        if (job.empty()) return true;
        // A child after fork() has a copy of the parent's connection: it
        // makes one of its own rather than speak on the parent's.
        if (::getpid() != owner_) {
            http_t *own = connect_to(d_);
            if (!own) {
                error = "cannot reach the print server of " + route_ + " from this process: " + unreachable(d_.host, d_.port);
                return false;
            }
            http_ = own;  // the parent's stays the parent's: not closed here
            owner_ = ::getpid();
        }
        never_ask_for_a_password();
        ipp_t *request = cups().ippNewRequest(IPP_OP_PRINT_JOB);
        cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, d_.uri.c_str());
        cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cups().cupsUser());
        cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title.c_str());
        cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format_.c_str());
        // The request and the job's bytes go first; then the answer is read.
        // The length libcups announces is the request's and the data's together.
        const http_status_t sent = cups().cupsSendRequest(http_, request, d_.resource.c_str(), cups().ippLength(request) + job.size());
        JobFacts facts;
        facts.sent_whole = sent == HTTP_STATUS_CONTINUE && !interrupted();
        for (std::size_t done = 0; facts.sent_whole && done < job.size();) {
            const std::size_t n = std::min<std::size_t>(job.size() - done, 65536);
            facts.sent_whole = cups().cupsWriteRequestData(http_, job.data() + done, n) == HTTP_STATUS_CONTINUE && !interrupted();
            done += n;
        }
        ipp_t *response = facts.sent_whole ? cups().cupsGetResponse(http_, d_.resource.c_str()) : nullptr;
        cups().ippDelete(request);
        facts.answered = response != nullptr;
        facts.answer_ok = response && cups().ippGetStatusCode(response) <= IPP_STATUS_OK_EVENTS_COMPLETE;
        facts.wants_password = sent == HTTP_STATUS_UNAUTHORIZED || sent == HTTP_STATUS_CUPS_AUTHORIZATION_CANCELED ||
                               (!facts.answer_ok && wants_password()) ||
                               (response && cups().ippGetStatusCode(response) == IPP_STATUS_ERROR_NOT_AUTHORIZED);
        facts.interrupted = interrupted();
        facts.line_failed = !timed_out(http_);
        const JobOutcome outcome = classify(facts);
        const std::string detail = outcome == JobOutcome::refused ? server_said() : silence(http_);
        error = describe(outcome, facts, title, route_, detail);
        cups().ippDelete(response);
        return outcome == JobOutcome::printed;
    }

    bool close(std::string &error) override {
        if (!http_) return true;
        // What is still pending goes as a job of its own.
        const bool sent = end_job(title_of_rest_, error);
        cups().httpClose(std::exchange(http_, nullptr));
        return sent;
    }

    void set_rest_title(std::string title) { title_of_rest_ = std::move(title); }

private:
    http_t *http_;
    Destination d_;
    std::string format_;
    std::string route_;
    PendingJob pending_{route_};
    pid_t owner_;           // the process whose connection http_ is
    std::string title_of_rest_ = "quillbar: lines sent after the last label";
};

}  // namespace

OpenedDevice open_print_server(const std::string &route) {
    OpenedDevice result;
    if (!load_cups(result.error)) {
        result.error = route + ": " + result.error;
        return result;
    }
    never_ask_for_a_password();
    Destination d;
    if (!parse(route, d, result.error)) return result;
    http_t *http = connect_to(d);
    if (!http) {
        result.error = "cannot reach the print server of " + route + " (" + unreachable(d.host, d.port) + ")";
        return result;
    }
    // The destination must exist and accept jobs; its document formats say
    // whether it takes EPL2 by name.
    static const char *const kWanted[] = {"printer-state", "printer-is-accepting-jobs", "printer-state-message",
                                          "printer-state-reasons", "document-format-supported"};
    ipp_t *request = cups().ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, d.uri.c_str());
    cups().ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cups().cupsUser());
    cups().ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 5, nullptr, kWanted);
    ipp_t *response = cups().cupsDoRequest(http, request, d.resource.c_str());
    std::string format = "application/vnd.cups-raw";
    if (wants_password() || (response && cups().ippGetStatusCode(response) == IPP_STATUS_ERROR_NOT_AUTHORIZED)) {
        result.error = password_refusal(route);
    } else if (!response) {
        result.error = "the print server of " + route + " does not answer (" + silence(http) + ")";
    } else if (cups().ippGetStatusCode(response) > IPP_STATUS_OK_EVENTS_COMPLETE) {
        result.error = "no printer or queue at " + route + ": " + server_said();
    } else {
        ipp_attribute_t *accepting = cups().ippFindAttribute(response, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
        ipp_attribute_t *state = cups().ippFindAttribute(response, "printer-state", IPP_TAG_ENUM);
        ipp_attribute_t *message = cups().ippFindAttribute(response, "printer-state-message", IPP_TAG_TEXT);
        const std::string why = message && cups().ippGetString(message, 0, nullptr) && *cups().ippGetString(message, 0, nullptr)
                                    ? std::string(": ") + cups().ippGetString(message, 0, nullptr)
                                    : std::string();
        if (accepting && !cups().ippGetBoolean(accepting, 0))
            result.error = route + " is not accepting jobs" + why;
        else if (state && cups().ippGetInteger(state, 0) == IPP_PSTATE_STOPPED)
            result.error = route + " is stopped" + why;
        ipp_attribute_t *formats = cups().ippFindAttribute(response, "document-format-supported", IPP_TAG_MIMETYPE);
        bool raw = false;
        for (int i = 0; formats && i < cups().ippGetCount(formats); ++i) {
            const std::string f = cups().ippGetString(formats, i, nullptr);
            if (f.find("epl") != std::string::npos) format = f;  // the printer's EPL2 format
            raw = raw || f == "application/vnd.cups-raw";
        }
        if (format == "application/vnd.cups-raw" && formats && !raw) format = "application/octet-stream";
    }
    cups().ippDelete(response);
    if (!result.error.empty()) {
        cups().httpClose(http);
        return result;
    }
    result.device.reset(new PrintServerDevice(http, d, format, route));
    result.configured = true;
    return result;
}

OpenedDevice open_printer_queue(const std::string &route) { return open_print_server(route); }

bool printer_queues(std::vector<std::string> &names, std::string &error) {
    names.clear();
    std::string no_library;
    if (!load_cups(no_library)) return true;  // no print server to ask
    never_ask_for_a_password();
    // The server's queues, asked of it directly: no browsing for printers on
    // the network, which takes its own time whatever the server does.
    static const char *const kWanted[] = {"printer-name"};
    ipp_t *response = ask_local_server(IPP_OP_CUPS_GET_PRINTERS, kWanted, 1, "the list of printers", error);
    if (!response) return error.empty();
    for (ipp_attribute_t *a = cups().ippFindAttribute(response, "printer-name", IPP_TAG_NAME); a;
         a = cups().ippFindNextAttribute(response, "printer-name", IPP_TAG_NAME))
        if (const char *name = cups().ippGetString(a, 0, nullptr)) names.push_back(std::string("cups:") + name);
    cups().ippDelete(response);
    return true;
}

}  // namespace quillbar

#else  // no libcups on this host

namespace quillbar {

OpenedDevice open_print_server(const std::string &route) {
    OpenedDevice result;
    result.error = route + ": this build of quillbar has no print-server support (libcups)";
    return result;
}

OpenedDevice open_printer_queue(const std::string &route) { return open_print_server(route); }

bool printer_queues(std::vector<std::string> &names, std::string &) {
    names.clear();
    return true;
}

void set_print_server_library(const std::string &) {}

}  // namespace quillbar

#endif
