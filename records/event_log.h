// The event log "Eventlog.txt": a sink of the recorder that appends every record while the
// log file is on.
//
// Format: an 11-line header written when the file is created, then one line per record: the
// local general date-time text, four blanks, blanks to column 25, the address from column 26,
// blanks to column 45, the description from column 46. Lines end in CR LF.
#pragma once

#include <string>
#include <string_view>

#include "base/ports.h"
#include "records/recorder.h"
#include "records/settings.h"

namespace qv {

inline constexpr const char* kEventLogFileName = "Eventlog.txt";
constexpr std::size_t kAddressColumn = 26;      // from 1
constexpr std::size_t kDescriptionColumn = 46;  // from 1

std::string RecordLine(std::string_view dateText, std::string_view address,
                       std::string_view description);
std::string EventLogHeader();

class EventLog final : public IRecordSink {
  public:
    // The file lives in folder; settings.LogFileOn says whether records are appended.
    EventLog(const Settings& settings, const std::string& folder, IFileSystem& files,
             IReporter& reporter);
    // Creates the event log with its header block.
    void CreateEventLog();
    // Appends the record with the others of its run, in one write at the run's end; a failure
    // is reported once until a later append succeeds.
    void Recorded(const ActivityRecord& record) override;
    void RecordsEnded() override;

  private:
    std::string Path() const { return folder_ + kEventLogFileName; }

    const Settings& settings_;
    const std::string& folder_;
    IFileSystem& files_;
    IReporter& reporter_;
    std::string lines_;  // the run's lines, not yet appended
    bool failureReported_ = false;
};

}  // namespace qv
