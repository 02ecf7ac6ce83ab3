// SPDX-License-Identifier: MIT
// What became of a job sent to a print server, as a value first and a
// sentence second: the device gathers the facts, one function decides the
// outcome from them, and one table words it. The order of the decision is
// tested in rows, without a server.
#pragma once

#include <string>

namespace quillbar {

enum class JobOutcome { printed, unconfirmed, refused, unreachable, needs_password, interrupted };

// What the device saw of one job.
struct JobFacts {
    bool sent_whole = false;      // the request and every byte of the job went
    bool answered = false;        // the server's answer came
    bool answer_ok = false;       // and it took the job
    bool wants_password = false;  // the server asked for credentials, at any stage
    bool interrupted = false;     // closed from another thread meanwhile
    bool line_failed = false;     // the connection broke (not merely silent)
};

JobOutcome classify(const JobFacts &facts);

// The words for an outcome: title names the job, route the print server,
// detail is what the server or the line said (the server's reason, "no
// answer in 15 s"). "" for a printed job.
std::string describe(JobOutcome outcome, const JobFacts &facts, const std::string &title, const std::string &route,
                     const std::string &detail);

}  // namespace quillbar
