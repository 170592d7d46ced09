// The text of a settings file, built one way for every test: section [CONFIGURATION], the
// eight keys in the order the program writes them, CR LF after every line.
#pragma once

#include <QtGlobal>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qv::test {

// Values by key name, e.g. {{"Password", "bdf"}}.
using IniKeys = std::map<std::string, std::string>;

// The eight keys in file order, with the values the program writes when it has no file.
inline const std::vector<std::pair<std::string, std::string>>& IniDefaults() {
    static const std::vector<std::pair<std::string, std::string>> keys = {
        {"Serial Port", "1"},   {"Baud Rate", "9600"},   {"TCP/IP Port", "1250"},
        {"Stay On Top", "Yes"}, {"Max List Size", "25"}, {"Maintain Log File", "No"},
        {"Pass Thru", "No"},    {"Password", ""}};
    return keys;
}

// The defaults with the values in over replaced. A key that is not one of the eight is a typo in
// the test and stops it.
inline std::string IniText(const IniKeys& over = {}) {
    std::size_t used = 0;
    std::string text = "[CONFIGURATION]\r\n";
    for (const auto& [key, value] : IniDefaults()) {
        const auto it = over.find(key);
        used += it != over.end();
        text += key + "=" + (it == over.end() ? value : it->second) + "\r\n";
    }
    if (used != over.size()) qFatal("IniText: a key that is not in the settings file");
    return text;
}

}  // namespace qv::test
