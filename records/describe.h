// The description mapping: how a piece of traffic is shown in the history and the event log.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// Client-side description: control characters in caret form (CR and LF dropped), codes 32
// to 125 copied, NUL and 126 and above dropped.
std::string DescribeClientText(std::string_view text);
// Switcher-side description: as above, but a frame marker (CAN or EM) is followed by the
// next character's code in decimal, and control characters after a marker are dropped.
std::string DescribeSwitcherText(std::string_view text);

}  // namespace qv
