// The view of a server without a window: reports go to stderr as one line each, flushed at
// once. History rows go to stdout through HistoryPrinter, a sink of the recorder.
#pragma once

#include <cstdio>

#include "base/ports.h"
#include "core/server.h"
#include "records/recorder.h"

namespace qv {

class HeadlessView final : public NullView {
  public:
    explicit HeadlessView(std::FILE* err = stderr) : err_(err) {}
    void Report(const std::string& title, const std::string& text) override;
    void CloseAllWindows() override;

  private:
    std::FILE* err_;
};

// Prints every record to out as "address<TAB>description", flushed at the end of each run.
class HistoryPrinter final : public IRecordSink {
  public:
    explicit HistoryPrinter(std::FILE* out = stdout) : out_(out) {}
    void Recorded(const ActivityRecord& record) override;
    void RecordsEnded() override;

  private:
    std::FILE* out_;
};

// Says on stderr when wrong passwords from an address start being slowed, and when its
// connections are refused meanwhile (once a minute per address).
class SlowedAddressPrinter final : public IServerWatch {
  public:
    explicit SlowedAddressPrinter(std::FILE* err = stderr) : err_(err) {}
    void AddressSlowed(const std::string& address) override;
    void ConnectionRefused(const std::string& address) override;

  private:
    std::FILE* err_;
};

// A report as one line: "title: text", line breaks shown as spaces.
std::string ReportLine(const std::string& title, const std::string& text);

}  // namespace qv
