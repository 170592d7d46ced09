// The local clock and the user's date and time patterns, from Qt.
#pragma once

#include "core/ports.h"

namespace qv {

class QtClock final : public IClock {
  public:
    QtClock();
    LocalDateTime Now() const override;
    DateTimePatterns Patterns() const override { return patterns_; }

  private:
    DateTimePatterns patterns_;
};

}  // namespace qv
