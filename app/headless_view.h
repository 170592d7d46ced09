// The view of a server without a window: reports go to stderr as one line each, history rows
// to stdout as "address<TAB>description", both flushed at once.
#pragma once

#include <cstdio>

#include "core/ports.h"

namespace qv {

class HeadlessView final : public IView {
  public:
    HeadlessView(std::FILE* out = stdout, std::FILE* err = stderr) : out_(out), err_(err) {}
    void Report(const std::string& title, const std::string& text) override;
    void HistoryRowAdded(const HistoryRow& row) override;
    void HistoryFirstRowRemoved() override {}
    void HistoryCleared() override {}
    void SetLampColour(Lamp, Long) override {}
    void SetCaption(Label, const std::string&) override {}
    void SetToolTip(Label, const std::string&) override {}
    void SetStatusPanel(int, const std::string&) override {}
    void ApplyZOrder(Long) override {}
    void CloseAllWindows() override;

  private:
    std::FILE* out_;
    std::FILE* err_;
};

// A report as one line: "title: text", line breaks shown as spaces.
std::string ReportLine(const std::string& title, const std::string& text);

}  // namespace qv
