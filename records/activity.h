// The command history and the event log "Eventlog.txt".
//
// Event log format: an 11-line header written when the file is created, then one line per
// record: the local general date-time text, four blanks, blanks to column 25, the address
// from column 26, blanks to column 45, the description from column 46. Lines end in CR LF.
#pragma once

#include <deque>
#include <string>
#include <string_view>

#include "core/ports.h"
#include "core/variables.h"

namespace qv {

inline constexpr const char* kEventLogFileName = "Eventlog.txt";

// Client-side description: control characters in caret form (CR and LF dropped), codes 32
// to 125 copied, NUL and 126 and above dropped.
std::string DescribeClientText(std::string_view text);
// Switcher-side description: as above, but a frame marker (CAN or EM) is followed by the
// next character's code in decimal, and control characters after a marker are dropped.
std::string DescribeSwitcherText(std::string_view text);

// Short date, a blank, long time; at exactly midnight the date alone.
std::string FormatGeneralDate(const LocalDateTime& t, const DateTimePatterns& p);
// Formats with a Qt-style pattern (d dd M MM yy yyyy h hh H HH m mm s ss AP ap 'text').
std::string FormatPattern(const LocalDateTime& t, std::string_view pattern);

std::string RecordLine(std::string_view dateText, std::string_view address,
                       std::string_view description);
std::string EventLogHeader();

class ActivityRecorder {
  public:
    ActivityRecorder(const Variables& v, IFileSystem& files, IClock& clock, IView& view);

    // Switcher activity, recorded with the address "Switcher COM<port>".
    void LogActivity(std::string_view text, Integer comPort);
    // Client activity, recorded with the client's address.
    void LogIPActivity(std::string_view text, std::string_view address);
    // Creates the event log with its header block.
    void CreateEventLog();
    // The operator's Clear: empties the history (the log file is not touched).
    void ClearHistory();
    const std::deque<HistoryRow>& Rows() const { return rows_; }

  private:
    void Record(const std::string& address, const std::string& description);

    const Variables& v_;
    IFileSystem& files_;
    IClock& clock_;
    IView& view_;
    std::deque<HistoryRow> rows_;
    bool logFailureReported_ = false;
};

}  // namespace qv
