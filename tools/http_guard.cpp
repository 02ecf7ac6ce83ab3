// SPDX-License-Identifier: MIT
#include "http_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cmath>

namespace quillbar::tool {

std::string address_text(const sockaddr *address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (!address) return "";
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const in6_addr &a6 = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a6))
            inet_ntop(AF_INET, a6.s6_addr + 12, text, sizeof text);
        else
            inet_ntop(AF_INET6, &a6, text, sizeof text);
    }
    return text;
}

ConnectionGuard::Peer *ConnectionGuard::opened(int fd, const std::string &address, Clock::time_point now) {
    peers_.push_back(Peer{fd, address, Stage::head, now, now + limits_.head, false});
    Peer *peer = &peers_.back();
    ++live_;
    const std::size_t from_address = ++per_address_[address];
    // Over a cap: the connection that has waited longest for a head (from
    // this address when its cap is the one reached) makes room.
    const bool address_full = from_address > limits_.per_address;
    if (address_full || live_ > limits_.total) {
        Peer *out = victim(address_full ? &address : nullptr);
        let_go(out ? out : peer, Reason::room);
    }
    return peer;
}

void ConnectionGuard::closed(Peer *peer) {
    if (!peer->let_go) {
        --live_;
        if (--per_address_[peer->address] == 0) per_address_.erase(peer->address);
    }
    peers_.remove_if([peer](const Peer &p) { return &p == peer; });
}

void ConnectionGuard::enter(Peer *peer, Stage stage, std::chrono::seconds limit, Clock::time_point now) {
    peer->stage = stage;
    peer->since = now;
    peer->deadline = now + limit;
}

// The newest connection is the one that asks for room: it is never taken
// while an older one may be.
ConnectionGuard::Peer *ConnectionGuard::victim(const std::string *address) const {
    const Peer *newest = &peers_.back();
    const Peer *best = nullptr;
    const auto rank = [](const Peer &p) { return p.stage == Stage::head ? 0 : p.stage == Stage::transfer ? 1 : 2; };
    for (const Peer &p : peers_) {
        if (&p == newest || p.let_go || (address && p.address != *address) || p.stage == Stage::working) continue;
        if (!best || rank(p) < rank(*best) || (rank(p) == rank(*best) && p.since < best->since)) best = &p;
    }
    return const_cast<Peer *>(best);
}

void ConnectionGuard::let_go(Peer *peer, Reason why) {
    if (peer->let_go) return;
    peer->let_go = true;
    --live_;
    if (--per_address_[peer->address] == 0) per_address_.erase(peer->address);
    // The connection's owner sees it end and closes it.
    shutdown(peer->fd, SHUT_RDWR);
    if (on_let_go_) on_let_go_(why);
}

std::optional<long> ConnectionGuard::over_rate(const Peer *peer, Clock::time_point now) {
    if (limits_.rate <= 0) return std::nullopt;
    const double burst = std::max(1.0, limits_.rate);
    // Addresses whose buckets have filled again are forgotten.
    if (buckets_.size() > 4096)
        for (auto it = buckets_.begin(); it != buckets_.end();)
            it = std::chrono::duration<double>(now - it->second.filled).count() * limits_.rate + it->second.tokens >= burst
                     ? buckets_.erase(it)
                     : std::next(it);
    auto [it, fresh] = buckets_.try_emplace(peer->address, Bucket{burst, now});
    Bucket &b = it->second;
    b.tokens = std::min(burst, b.tokens + std::chrono::duration<double>(now - b.filled).count() * limits_.rate);
    b.filled = now;
    if (b.tokens >= 1) {
        b.tokens -= 1;
        return std::nullopt;
    }
    return std::max(1L, static_cast<long>(std::ceil((1 - b.tokens) / limits_.rate)));
}

int ConnectionGuard::enforce(Clock::time_point now, int longest) {
    auto next = now + std::chrono::milliseconds(longest);
    for (Peer &p : peers_) {
        if (p.let_go || p.stage == Stage::working) continue;
        if (p.deadline <= now)
            let_go(&p, Reason::deadline);
        else
            next = std::min(next, p.deadline);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::clamp<long long>(ms + 1, 0, longest));
}

}  // namespace quillbar::tool
