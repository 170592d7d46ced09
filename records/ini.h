// A small INI reader/writer with the behaviour of Windows profile files: plain "key=value"
// lines, section and key names compared without regard to case, blanks around names and
// values trimmed, the first of a repeated key wins, keys written in the order given.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv {

// The value text of key in section; empty when the section or key is missing.
std::string IniValue(std::string_view fileText, std::string_view section, std::string_view key);

// A whole file of one section with the keys in the order given; lines end in CR LF.
std::string IniSection(std::string_view section,
                       const std::vector<std::pair<std::string, std::string>>& keys);

}  // namespace qv
