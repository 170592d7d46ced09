// The recorder: every piece of traffic worth recording becomes one record (date text,
// address, description), built once and handed to each sink in the order they were added:
// the command history, the event log, and, headless, standard output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/ports.h"

namespace qv {

struct ActivityRecord {
    std::string dateText;  // the local general date and time
    std::string address;   // a client's address, or "Switcher COM<n>"
    std::string description;
};

class IRecordSink {
  public:
    virtual ~IRecordSink() = default;
    virtual void Recorded(const ActivityRecord& record) = 0;
    // After the records of one run have been handed over (a single record is a run of its
    // own): a sink that gathers its writes makes them here.
    virtual void RecordsEnded() {}
};

class ActivityRecorder {
  public:
    explicit ActivityRecorder(IClock& clock) : clock_(clock) {}

    void AddSink(IRecordSink& sink) { sinks_.push_back(&sink); }
    void RemoveSink(IRecordSink& sink);

    // Switcher activity, recorded with the address "Switcher COM<port>".
    void LogActivity(std::string_view text, Integer comPort);
    // Client activity, recorded with the client's address.
    void LogIPActivity(std::string_view text, std::string_view address);

    // Records made from Hold until the matching Release reach the sinks at the Release, in
    // order: the traffic of one run leaves before its records are written. Holds nest.
    void Hold() { ++holds_; }
    void Release();

  private:
    void Record(std::string address, std::string description);
    // The date text of now: worked out again only when the second or the patterns change, as
    // the records of a burst share their second.
    const std::string& DateText();
    void Hand(const ActivityRecord& record);
    void End();

    IClock& clock_;
    bool dated_ = false;
    LocalDateTime datedAt_;
    DateTimePatterns datedWith_;
    std::string dateText_;
    std::vector<IRecordSink*> sinks_;
    int holds_ = 0;
    std::vector<ActivityRecord> held_;
};

}  // namespace qv
