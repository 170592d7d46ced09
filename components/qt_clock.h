// The local clock and the user's date and time patterns, from Qt.
#pragma once

#include <QLocale>

#include "base/ports.h"

namespace qv {

class QtClock final : public IClock {
  public:
    // The patterns of the given locale (the user's by default).
    explicit QtClock(const QLocale& locale = QLocale::system());
    LocalDateTime Now() const override;
    DateTimePatterns Patterns() const override { return patterns_; }
    long long MonotonicMs() const override;

  private:
    DateTimePatterns patterns_;
    mutable long long cachedSecond_ = -1;
    mutable LocalDateTime cached_{};
};

}  // namespace qv
