// The client table: one slot record per client slot, indexes 1..ClientSlotCount (slot 0 is
// never used, so that slot numbers match the socket elements).
#pragma once

#include <vector>

#include "base/types.h"
#include "link/client_interpreter.h"

namespace qv {

class ClientTable {
  public:
    Integer ClientSlotCount() const { return static_cast<Integer>(slots_.size() - 1); }
    ClientSlot& operator[](Integer index) { return slots_[static_cast<std::size_t>(index)]; }
    const ClientSlot& operator[](Integer index) const {
        return slots_[static_cast<std::size_t>(index)];
    }
    // Adds slot ClientSlotCount + 1.
    void Grow() { slots_.emplace_back(); }
    // No slots.
    void Reset() { slots_.assign(1, ClientSlot{}); }

  private:
    std::vector<ClientSlot> slots_ = std::vector<ClientSlot>(1);
};

}  // namespace qv
