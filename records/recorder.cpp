#include "records/recorder.h"

#include <algorithm>

#include "records/date_format.h"
#include "records/describe.h"

namespace qv {

void ActivityRecorder::RemoveSink(IRecordSink& sink) {
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), &sink), sinks_.end());
}

void ActivityRecorder::LogActivity(std::string_view text, Integer comPort) {
    Record("Switcher COM" + std::to_string(comPort), DescribeSwitcherText(text));
}

void ActivityRecorder::LogIPActivity(std::string_view text, std::string_view address) {
    Record(std::string(address), DescribeClientText(text));
}

void ActivityRecorder::Record(std::string address, std::string description) {
    // Text with nothing printable in it is not worth a row.
    if (description.empty()) return;
    const ActivityRecord record{FormatGeneralDate(clock_.Now(), clock_.Patterns()),
                                std::move(address), std::move(description)};
    for (IRecordSink* sink : sinks_) sink->Recorded(record);
}

}  // namespace qv
