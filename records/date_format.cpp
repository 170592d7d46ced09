#include "records/date_format.h"

#include <cstdio>

namespace qv {

namespace {

std::string Two(int n) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", n);
    return b;
}

const char* const kMonthShort[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kMonthLong[] = {"January",   "February", "March",    "April",
                                  "May",       "June",     "July",     "August",
                                  "September", "October",  "November", "December"};

int Weekday(int y, int m, int d) {  // 0 = Sunday (Sakamoto)
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}
const char* const kDayShort[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kDayLong[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                "Thursday", "Friday", "Saturday"};

}  // namespace

std::string FormatPattern(const LocalDateTime& t, std::string_view p) {
    const bool twelveHour =
        p.find("AP") != std::string_view::npos || p.find("ap") != std::string_view::npos ||
        p.find('A') != std::string_view::npos || p.find('a') != std::string_view::npos;
    const int m = (t.month >= 1 && t.month <= 12) ? t.month - 1 : 0;
    std::string out;
    std::size_t i = 0;
    while (i < p.size()) {
        const char c = p[i];
        std::size_t n = 1;
        while (i + n < p.size() && p[i + n] == c) ++n;
        if (c == '\'') {
            const std::size_t end = p.find('\'', i + 1);
            if (end == i + 1)
                out.push_back('\'');
            else
                out.append(
                    p.substr(i + 1, (end == std::string_view::npos ? p.size() : end) - i - 1));
            i = end == std::string_view::npos ? p.size() : end + 1;
            continue;
        }
        switch (c) {
            case 'd':
                if (n >= 4)
                    out += kDayLong[Weekday(t.year, m + 1, t.day)];
                else if (n == 3)
                    out += kDayShort[Weekday(t.year, m + 1, t.day)];
                else
                    out += n == 2 ? Two(t.day) : std::to_string(t.day);
                break;
            case 'M':
                if (n >= 4)
                    out += kMonthLong[m];
                else if (n == 3)
                    out += kMonthShort[m];
                else
                    out += n == 2 ? Two(t.month) : std::to_string(t.month);
                break;
            case 'y':
                out += n >= 4 ? std::to_string(t.year) : Two(t.year % 100);
                break;
            case 'h': {
                int h = t.hour;
                if (twelveHour) h = h % 12 == 0 ? 12 : h % 12;
                out += n >= 2 ? Two(h) : std::to_string(h);
                break;
            }
            case 'H':
                out += n >= 2 ? Two(t.hour) : std::to_string(t.hour);
                break;
            case 'm':
                out += n >= 2 ? Two(t.minute) : std::to_string(t.minute);
                break;
            case 's':
                out += n >= 2 ? Two(t.second) : std::to_string(t.second);
                break;
            case 'A':
            case 'a': {
                const bool upper = c == 'A';
                out += t.hour < 12 ? (upper ? "AM" : "am") : (upper ? "PM" : "pm");
                // "AP" and "ap" are one token.
                if (i + n < p.size() && (p[i + n] == 'P' || p[i + n] == 'p')) ++n;
                break;
            }
            case 't':  // time zone: the general date text has none
            case 'z':  // milliseconds: not shown
                break;
            default:
                out.append(n, c);
                break;
        }
        i += n;
    }
    // Dropping a time zone can leave a trailing blank.
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string FormatGeneralDate(const LocalDateTime& t, const DateTimePatterns& p) {
    std::string s = FormatPattern(t, p.shortDate);
    if (t.hour == 0 && t.minute == 0 && t.second == 0) return s;
    return s + " " + FormatPattern(t, p.longTime);
}

}  // namespace qv
