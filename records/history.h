// The command history: the newest records, at most MaxListSize of them, shown by a view.
#pragma once

#include <deque>

#include "base/ports.h"
#include "records/recorder.h"

namespace qv {

class CommandHistory final : public IRecordSink {
  public:
    CommandHistory(const Integer& maxListSize, IHistoryView& view)
        : maxListSize_(maxListSize), view_(view) {}
    void Recorded(const ActivityRecord& record) override;
    // The operator's Clear: empties the history (the log file is not touched).
    void Clear();
    // Drops the oldest rows past the list size (after the size was made smaller).
    void Trim();
    const std::deque<HistoryRow>& Rows() const { return rows_; }

  private:
    const Integer& maxListSize_;
    IHistoryView& view_;
    std::deque<HistoryRow> rows_;
};

}  // namespace qv
