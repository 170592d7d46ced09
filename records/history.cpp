#include "records/history.h"

namespace qv {

namespace {
// A list size below 1 still shows the newest row.
std::size_t Limit(Integer maxListSize) {
    return maxListSize < 1 ? 1 : static_cast<std::size_t>(maxListSize);
}
}  // namespace

void CommandHistory::Trim() {
    while (rows_.size() > Limit(maxListSize_)) {
        rows_.pop_front();
        view_.HistoryFirstRowRemoved();
    }
}

void CommandHistory::Recorded(const ActivityRecord& record) {
    const std::size_t limit = Limit(maxListSize_);
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
