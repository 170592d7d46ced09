#include "core/login_throttle.h"

#include <algorithm>

namespace qv {

bool LoginThrottle::Slowed(const Entry& e, long long nowMs) const {
    return e.wrong >= kThrottleFreeAttempts && nowMs - e.lastWrong < kThrottleWindowMs;
}

long long LoginThrottle::Wait(const Entry& e) {
    const int doublings = std::min(e.wrong - kThrottleFreeAttempts, 16);
    return std::min(kThrottleFirstWaitMs << doublings, kThrottleMaxWaitMs);
}

long long LoginThrottle::CheckAllowedAt(const std::string& address, long long nowMs) {
    const auto it = table_.find(address);
    if (it == table_.end() || !Slowed(it->second, nowMs)) return nowMs;
    return it->second.lastWrong + Wait(it->second);
}

bool LoginThrottle::Failed(const std::string& address, long long nowMs) {
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
    const auto it = table_.find(address);
    if (it == table_.end()) return;
    ages_.erase(it->second.age);
    table_.erase(it);
}

std::size_t LoginThrottle::SlowedCount(long long nowMs) const {
    return static_cast<std::size_t>(std::count_if(
        table_.begin(), table_.end(), [&](const auto& kv) { return Slowed(kv.second, nowMs); }));
}

}  // namespace qv
