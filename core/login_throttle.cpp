#include "core/login_throttle.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace qv {

namespace {

// The eight 16-bit groups of an IPv6 address in text; false if it is not one.
bool ParseIPv6(const std::string& text, unsigned (&groups)[8]) {
    std::string t = text;
    const auto zone = t.find('%');
    if (zone != std::string::npos) t.resize(zone);
    std::vector<unsigned> head, tail;
    bool gap = false;
    std::vector<unsigned>* into = &head;
    std::size_t i = 0;
    if (t.rfind("::", 0) == 0) {
        gap = true;
        into = &tail;
        i = 2;
    }
    while (i < t.size()) {
        const std::size_t end = std::min(t.find(':', i), t.size());
        const std::string part = t.substr(i, end - i);
        if (part.find('.') != std::string::npos) {  // an IPv4 address at the end
            unsigned a, b, c, d;
            char extra;
            if (end != t.size() ||
                std::sscanf(part.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 ||
                a > 255 || b > 255 || c > 255 || d > 255)
                return false;
            into->push_back(a << 8 | b);
            into->push_back(c << 8 | d);
            i = end;
            break;
        }
        if (part.empty() || part.size() > 4 ||
            part.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        into->push_back(static_cast<unsigned>(std::stoul(part, nullptr, 16)));
        i = end;
        if (i < t.size()) {
            if (t.compare(i, 2, "::") == 0) {
                if (gap) return false;
                gap = true;
                into = &tail;
                i += 2;
            } else {
                ++i;
                if (i == t.size()) return false;  // a trailing single colon
            }
        }
    }
    const std::size_t n = head.size() + tail.size();
    if (gap ? n > 7 : n != 8) return false;
    std::fill(std::begin(groups), std::end(groups), 0u);
    std::copy(head.begin(), head.end(), groups);
    std::copy(tail.begin(), tail.end(), groups + 8 - tail.size());
    return true;
}

}  // namespace

std::string AddressBlock(const std::string& address) {
    unsigned g[8];
    if (address.find(':') == std::string::npos || !ParseIPv6(address, g)) return address;
    if (g[0] == 0 && g[1] == 0 && g[2] == 0 && g[3] == 0 && g[4] == 0 && g[5] == 0xffff)
        return std::to_string(g[6] >> 8) + '.' + std::to_string(g[6] & 0xff) + '.' +
               std::to_string(g[7] >> 8) + '.' + std::to_string(g[7] & 0xff);
    char text[48];
    std::snprintf(text, sizeof text, "%x:%x:%x:%x::/64", g[0], g[1], g[2], g[3]);
    return text;
}

bool LoginThrottle::IsSlowed(const std::string& address, long long nowMs) const {
    const auto it = table_.find(AddressBlock(address));
    return it != table_.end() && Slowed(it->second, nowMs);
}

bool LoginThrottle::Slowed(const Entry& e, long long nowMs) const {
    return e.wrong >= kThrottleFreeAttempts && nowMs - e.lastWrong < kThrottleWindowMs;
}

long long LoginThrottle::Wait(const Entry& e) {
    const int doublings = std::min(e.wrong - kThrottleFreeAttempts, 16);
    return std::min(kThrottleFirstWaitMs << doublings, kThrottleMaxWaitMs);
}

long long LoginThrottle::CheckAllowedAt(const std::string& address, long long nowMs) {
    const auto it = table_.find(AddressBlock(address));
    if (it == table_.end() || !Slowed(it->second, nowMs)) return nowMs;
    return it->second.lastWrong + Wait(it->second);
}

bool LoginThrottle::Failed(const std::string& peer, long long nowMs) {
    const std::string address = AddressBlock(peer);
    auto it = table_.find(address);
    if (it == table_.end()) {
        if (table_.size() >= kThrottleTableCap) {
            table_.erase(ages_.front());
            ages_.pop_front();
        }
        ages_.push_back(address);
        it = table_.emplace(address, Entry{}).first;
        it->second.age = std::prev(ages_.end());
    } else {
        ages_.splice(ages_.end(), ages_, it->second.age);
    }
    Entry& e = it->second;
    // A slowed address stays slowed while it goes on guessing.
    if (Slowed(e, nowMs)) {
        ++e.wrong;
        e.lastWrong = nowMs;
        return false;
    }
    std::rotate(e.recent.begin(), e.recent.begin() + 1, e.recent.end());
    e.recent.back() = nowMs;
    e.recentCount = std::min(e.recentCount + 1, kThrottleFreeAttempts);
    e.wrong =
        static_cast<int>(std::count_if(e.recent.end() - e.recentCount, e.recent.end(),
                                       [&](long long t) { return nowMs - t < kThrottleWindowMs; }));
    e.lastWrong = nowMs;
    return e.wrong == kThrottleFreeAttempts;
}

void LoginThrottle::Succeeded(const std::string& address) {
    const auto it = table_.find(AddressBlock(address));
    if (it == table_.end()) return;
    ages_.erase(it->second.age);
    table_.erase(it);
}

std::size_t LoginThrottle::SlowedCount(long long nowMs) const {
    return static_cast<std::size_t>(std::count_if(
        table_.begin(), table_.end(), [&](const auto& kv) { return Slowed(kv.second, nowMs); }));
}

}  // namespace qv
