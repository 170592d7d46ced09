// The client table: one record per client slot, indexes 1..ClientSlotCount (slot 0 is never
// used, so that slot numbers match the socket elements).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/ports.h"
#include "link/client_interpreter.h"

namespace qv {

// A client slot with the session the server keeps for its client.
struct ClientSession : ClientSlot {
    std::string Address;  // the peer's address, as taken
    LocalDateTime ConnectedAt;
    std::uint64_t BytesIn = 0;     // received from the client
    std::uint64_t BytesOut = 0;    // handed to its socket
    long long TakenAtMs = 0;       // on the monotonic clock
    bool InputEnded = false;       // the client ended its sending side
    bool ReadingPaused = false;    // its held text is at the bound
    std::uint64_t AttemptSeq = 0;  // when its waiting password attempt began, in order
    long long LingerFromMs = 0;    // input ended, or output last handed over since
};

class ClientTable {
  public:
    Integer ClientSlotCount() const { return static_cast<Integer>(slots_.size() - 1); }
    ClientSession& operator[](Integer index) { return slots_[static_cast<std::size_t>(index)]; }
    const ClientSession& operator[](Integer index) const {
        return slots_[static_cast<std::size_t>(index)];
    }
    // Adds slot ClientSlotCount + 1.
    void Grow() { slots_.emplace_back(); }
    // Removes the last slot.
    void Shrink() {
        if (slots_.size() > 1) slots_.pop_back();
    }
    // No slots.
    void Reset() { slots_.assign(1, ClientSession{}); }

  private:
    std::vector<ClientSession> slots_ = std::vector<ClientSession>(1);
};

}  // namespace qv
