#include "records/event_log.h"

namespace qv {

std::string RecordLine(std::string_view dateText, std::string_view address,
                       std::string_view description) {
    std::string line(dateText);
    line += "    ";
    if (line.size() < kAddressColumn - 1) line.resize(kAddressColumn - 1, ' ');
    line += address;
    if (line.size() < kDescriptionColumn - 1) line.resize(kDescriptionColumn - 1, ' ');
    line += description;
    return line;
}

std::string EventLogHeader() {
    std::string h;
    const auto add = [&h](std::string_view s) { h.append(s).append("\r\n"); };
    add("             Q U I L L M A R K   M E D I A   T E C H N O L O G I E S");
    add("");
    add("                   1200 Harbor Point Drive");
    add("                   Lakeview, OR 97630");
    add("                   (555) 010-4477 - www.quillmark.example");
    add("");
    add("");
    add("Network Server Master Event Logfile");
    add("");
    add(" DATE     TIME           CLIENT ADDRESS      MESSAGE DESCRIPTION");
    add(std::string(80, '-'));
    return h;
}

EventLog::EventLog(const Settings& settings, const std::string& folder, IFileSystem& files,
                   IReporter& reporter)
    : settings_(settings), folder_(folder), files_(files), reporter_(reporter) {}

void EventLog::CreateEventLog() {
    files_.WriteReplace(Path(), EventLogHeader());
}

void EventLog::Recorded(const ActivityRecord& record) {
    if (!settings_.LogFileOn) return;
    lines_ += RecordLine(record.dateText, record.address, record.description);
    lines_ += "\r\n";
}

void EventLog::RecordsEnded() {
    if (lines_.empty()) return;
    std::string lines;
    lines.swap(lines_);
    try {
        if (!files_.Exists(Path())) CreateEventLog();
        files_.Append(Path(), lines);
        failureReported_ = false;
    } catch (const ComponentError& e) {
        // Reported once; a later success re-arms the report.
        if (!failureReported_) {
            failureReported_ = true;
            reporter_.Report("File Error", ErrorText("Error Writing Eventlog.txt file", e));
        }
    }
}

}  // namespace qv
