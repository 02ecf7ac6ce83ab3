// SPDX-License-Identifier: MIT
// The render workers' queue, shared fairly among clients: the next request
// is from the client with the fewest being rendered (the earliest come
// among equals), and no client holds every worker, so that another
// client's request starts at once however many slow ones came before it.
// Not locked: its owner's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace quillbar::tool {

template <typename Item>
class FairQueue {
public:
    // workers: how many take from the queue; one client may have all but
    // one of them (one when there is one).
    explicit FairQueue(int workers) : share_(workers > 1 ? static_cast<std::size_t>(workers) - 1 : 1) {}

    void push(const std::string &client, Item item) {
        clients_[client].waiting.emplace_back(arrived_++, std::move(item));
        ++size_;
    }

    // The next item a worker may take, and whose it is; nothing when every
    // waiting client has its share.
    std::optional<std::pair<std::string, Item>> take() {
        auto best = clients_.end();
        for (auto it = clients_.begin(); it != clients_.end(); ++it) {
            const Client &c = it->second;
            if (c.waiting.empty() || c.running >= share_) continue;
            if (best == clients_.end() || c.running < best->second.running ||
                (c.running == best->second.running && c.waiting.front().first < best->second.waiting.front().first))
                best = it;
        }
        if (best == clients_.end()) return std::nullopt;
        Item item = std::move(best->second.waiting.front().second);
        best->second.waiting.pop_front();
        ++best->second.running;
        --size_;
        return std::make_pair(best->first, std::move(item));
    }

    // A worker is done with one of the client's.
    void finished(const std::string &client) {
        auto it = clients_.find(client);
        if (it == clients_.end()) return;
        if (it->second.running) --it->second.running;
        if (!it->second.running && it->second.waiting.empty()) clients_.erase(it);
    }

    // Everything still waiting, in no order (the service stops).
    template <typename Each>
    void drain(Each each) {
        for (auto &[client, c] : clients_)
            for (auto &[arrival, item] : c.waiting) each(std::move(item));
        clients_.clear();
        size_ = 0;
    }

    std::size_t waiting() const { return size_; }

private:
    struct Client {
        std::deque<std::pair<std::uint64_t, Item>> waiting;  // with when each came
        std::size_t running = 0;
    };
    std::size_t share_;
    std::map<std::string, Client> clients_;
    std::uint64_t arrived_ = 0;
    std::size_t size_ = 0;
};

}  // namespace quillbar::tool
