// SPDX-License-Identifier: MIT
#include "connection/job_outcome.h"

#include <cstring>

namespace quillbar {

JobOutcome classify(const JobFacts &f) {
    if (f.answered && f.answer_ok) return JobOutcome::printed;
    // A server that wants a password refuses at once, whatever else: never
    // "it may still print".
    if (f.wants_password) return JobOutcome::needs_password;
    if (f.answered) return JobOutcome::refused;
    if (f.interrupted) return JobOutcome::interrupted;
    // Every byte went and no answer came in time: the server may well have
    // the job, so nobody should print it again blindly.
    if (f.sent_whole && !f.line_failed) return JobOutcome::unconfirmed;
    return JobOutcome::unreachable;
}

namespace {

struct Wording {
    JobOutcome outcome;
    const char *text;  // {title}, {route} and {detail} stand for those
};

constexpr Wording kWordings[] = {
    {JobOutcome::printed, ""},
    {JobOutcome::unconfirmed,
     "the server took the label \"{title}\" but did not confirm it ({detail}): it may still print; check {route} "
     "before printing it again"},
    {JobOutcome::refused, "{route} refused the job \"{title}\": {detail}"},
    {JobOutcome::unreachable, "the job \"{title}\" did not reach {route}: the print server does not answer ({detail})"},
    {JobOutcome::needs_password,
     "{route} asks for a password, and quillbar never asks one on a terminal: print as a user the server lets in "
     "(or give libcups the credentials through its own means, e.g. Kerberos)"},
    {JobOutcome::interrupted, "the job \"{title}\" was ended by closing the port{detail}"},
};

// The wording with its fields filled in, in one pass: what a server says
// is never read as a field.
std::string fill(const char *wording, const std::string &title, const std::string &route, const std::string &detail) {
    std::string out;
    for (const char *p = wording; *p; ++p) {
        if (std::strncmp(p, "{title}", 7) == 0) {
            out += title;
            p += 6;
        } else if (std::strncmp(p, "{route}", 7) == 0) {
            out += route;
            p += 6;
        } else if (std::strncmp(p, "{detail}", 8) == 0) {
            out += detail;
            p += 7;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

std::string describe(JobOutcome outcome, const JobFacts &facts, const std::string &title, const std::string &route,
                     const std::string &detail) {
    const char *wording = "";
    for (const Wording &w : kWordings)
        if (w.outcome == outcome) wording = w.text;
    // A job ended while every byte had gone may be on the server already.
    const std::string said = outcome != JobOutcome::interrupted ? detail
                             : facts.sent_whole ? ": the server may have taken it; check the queue before printing it again"
                                                : "";
    return fill(wording, title, route, said);
}

}  // namespace quillbar
