// The date format of the event log: the local general date, from the user's patterns.
#pragma once

#include <string>
#include <string_view>

#include "base/ports.h"

namespace qv {

// Short date, a blank, long time; at exactly midnight the date alone.
std::string FormatGeneralDate(const LocalDateTime& t, const DateTimePatterns& p);
// Formats with a Qt-style pattern (d dd M MM yy yyyy h hh H HH m mm s ss AP ap 'text').
std::string FormatPattern(const LocalDateTime& t, std::string_view pattern);

}  // namespace qv
