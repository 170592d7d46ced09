#include "records/history.h"

namespace qv {

void CommandHistory::Recorded(const ActivityRecord& record) {
    // A list size below 1 still shows the newest row.
    const std::size_t limit = maxListSize_ < 1 ? 1 : static_cast<std::size_t>(maxListSize_);
    if (rows_.size() >= limit) {
        rows_.pop_front();
        view_.HistoryFirstRowRemoved();
    }
    rows_.push_back({record.address, record.description});
    view_.HistoryRowAdded(rows_.back());
}

void CommandHistory::Clear() {
    rows_.clear();
    view_.HistoryCleared();
}

}  // namespace qv
