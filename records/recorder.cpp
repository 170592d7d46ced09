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
    ActivityRecord record{DateText(), std::move(address), std::move(description)};
    if (holds_ > 0) {
        held_.push_back(std::move(record));
        return;
    }
    Hand(record);
    End();
}

const std::string& ActivityRecorder::DateText() {
    const LocalDateTime now = clock_.Now();
    DateTimePatterns patterns = clock_.Patterns();
    if (!dated_ || now != datedAt_ || patterns != datedWith_) {
        dateText_ = FormatGeneralDate(now, patterns);
        datedAt_ = now;
        datedWith_ = std::move(patterns);
        dated_ = true;
    }
    return dateText_;
}

void ActivityRecorder::Release() {
    if (holds_ == 0 || --holds_ > 0 || held_.empty()) return;
    std::vector<ActivityRecord> run;
    run.swap(held_);
    for (const ActivityRecord& record : run) Hand(record);
    End();
}

void ActivityRecorder::Hand(const ActivityRecord& record) {
    for (IRecordSink* sink : sinks_) sink->Recorded(record);
}

void ActivityRecorder::End() {
    for (IRecordSink* sink : sinks_) sink->RecordsEnded();
}

}  // namespace qv
