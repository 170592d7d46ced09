#include "records/ini.h"

namespace qv {
namespace {

std::string_view Trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::string IniValue(std::string_view text, std::string_view section, std::string_view key) {
    bool inSection = false;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = Trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            inSection = close != std::string_view::npos &&
                        SameNoCase(Trim(line.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        if (SameNoCase(Trim(line.substr(0, eq)), key))
            return std::string(Trim(line.substr(eq + 1)));
    }
    return {};
}

std::string IniSection(std::string_view section,
                       const std::vector<std::pair<std::string, std::string>>& keys) {
    std::string out;
    out.append("[").append(section).append("]\r\n");
    for (const auto& [k, v] : keys) out.append(k).append("=").append(v).append("\r\n");
    return out;
}

}  // namespace qv
