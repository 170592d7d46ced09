// Password guessing slowed: wrong passwords are counted per client address. After
// kThrottleFreeAttempts wrong ones within kThrottleWindowMs, the next attempt from that address
// (on any of its connections) is checked no earlier than kThrottleFirstWaitMs after the last
// wrong one, the wait doubling with each further wrong attempt up to kThrottleMaxWaitMs. An
// address quiet for kThrottleWindowMs, or that gives the right password, starts afresh. The
// table holds at most kThrottleTableCap addresses, the least recently seen forgotten first.
// IPv6 addresses are counted per /64, the block one host is usually given.
#pragma once

#include <array>
#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>

namespace qv {

constexpr int kThrottleFreeAttempts = 3;
constexpr long long kThrottleWindowMs = 60'000;
constexpr long long kThrottleFirstWaitMs = 1'000;
constexpr long long kThrottleMaxWaitMs = 30'000;
constexpr std::size_t kThrottleTableCap = 4096;

// The block an address is counted in: an IPv4 address itself (also when mapped into IPv6), the
// /64 of an IPv6 address ("2001:db8:1:2::/64"). Text that is neither is its own block.
std::string AddressBlock(const std::string& address);

class LoginThrottle {
  public:
    // Whether attempts from address are being held back now (or would be).
    bool IsSlowed(const std::string& address, long long nowMs) const;
    // The earliest time (ms, monotonic) an attempt from address may be checked.
    long long CheckAllowedAt(const std::string& address, long long nowMs);
    // A wrong password from address. True when this one starts slowing the address.
    bool Failed(const std::string& address, long long nowMs);
    // The right password: the address starts afresh.
    void Succeeded(const std::string& address);
    // Addresses whose next attempt is being held back, or would be.
    std::size_t SlowedCount(long long nowMs) const;
    std::size_t Size() const { return table_.size(); }

  private:
    struct Entry {
        // Wrong attempts: those within the window, then every one while slowed.
        int wrong = 0;
        long long lastWrong = 0;
        std::array<long long, kThrottleFreeAttempts> recent{};  // the last ones, oldest first
        int recentCount = 0;
        std::list<std::string>::iterator age;
    };
    bool Slowed(const Entry& e, long long nowMs) const;
    static long long Wait(const Entry& e);

    std::unordered_map<std::string, Entry> table_;
    std::list<std::string> ages_;  // least recently seen first
};

}  // namespace qv
