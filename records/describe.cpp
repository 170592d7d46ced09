#include "records/describe.h"

namespace qv {

std::string DescribeClientText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const int c = static_cast<unsigned char>(ch);
        if (c >= 1 && c <= 31) {
            if (c != 10 && c != 13) out.push_back('^'), out.push_back(static_cast<char>(c + 64));
        } else if (c >= 32 && c <= 125) {
            out.push_back(ch);
        }
    }
    return out;
}

std::string DescribeSwitcherText(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 4);
    bool markerSeen = false, numberPending = false;
    for (std::size_t i = 1; i <= text.size(); ++i) {
        const int c = static_cast<unsigned char>(text[i - 1]);
        if (c >= 1 && c <= 31 && !markerSeen && !numberPending) {
            if (c != 10 && c != 13) out.push_back('^'), out.push_back(static_cast<char>(c + 64));
            if (c == 24 || c == 25) markerSeen = numberPending = true;
        }
        if (c >= 32 && c <= 125 && !numberPending) out.push_back(static_cast<char>(c));
        if (numberPending && i > 1) {
            out += std::to_string(c);
            numberPending = false;
        }
    }
    return out;
}

}  // namespace qv
