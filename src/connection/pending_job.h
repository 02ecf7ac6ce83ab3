// SPDX-License-Identifier: MIT
// What a spooling device (a print server, a Windows printer queue) keeps of
// the label being written until the layer above says the job is whole. A
// label too large for one job is dropped whole: none of it goes, and the
// call that completes it fails too, so that its P line never prints the
// label before it again.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace quillbar {

class PendingJob {
public:
    // route names the device in messages.
    explicit PendingJob(std::string route) : route_(std::move(route)) {}

    bool add(const void *data, std::size_t size, std::string &error) {
        if (dropped_ || bytes_.size() + size > kMaxJob) {
            error = dropped_ ? "this label was already dropped (more than " + megabytes() + "): nothing of it is sent to " + route_
                             : "more than " + megabytes() + " sent to " + route_ +
                                   " without a P line: the label is dropped, nothing of it is sent";
            std::vector<char>().swap(bytes_);
            dropped_ = true;
            return false;
        }
        const auto *p = static_cast<const char *>(data);
        bytes_.insert(bytes_.end(), p, p + size);
        return true;
    }

    // The job's bytes, handed over (sent or refused, they are done with):
    // none when nothing is pending; false, with the reason, when the label
    // was dropped.
    bool take(const std::string &title, std::vector<char> &job, std::string &error) {
        job.clear();
        job.swap(bytes_);
        if (!dropped_) return true;
        dropped_ = false;
        job.clear();
        error = "the label \"" + title + "\" was dropped (more than " + megabytes() + "): nothing was sent to " + route_;
        return false;
    }

    void clear() { bytes_.clear(); }

private:
    static constexpr std::size_t kMaxJob = 64u << 20;
    std::string megabytes() const { return std::to_string(kMaxJob >> 20) + " MB"; }

    std::string route_;
    std::vector<char> bytes_;
    bool dropped_ = false;
};

}  // namespace quillbar
