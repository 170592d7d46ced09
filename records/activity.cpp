#include "records/activity.h"

#include <cstdio>

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
                    out += kDayLong[Weekday(t.year, t.month, t.day)];
                else if (n == 3)
                    out += kDayShort[Weekday(t.year, t.month, t.day)];
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

std::string RecordLine(std::string_view dateText, std::string_view address,
                       std::string_view description) {
    std::string line(dateText);
    line += "    ";
    if (line.size() < 25) line.resize(25, ' ');
    line += address;
    if (line.size() < 45) line.resize(45, ' ');
    line += description;
    return line;
}

std::string EventLogHeader() {
    std::string h;
    const auto add = [&h](std::string_view s) { h.append(s).append("\r\n"); };
    add("             Q U I L L M A R K   M E D I A   T E C H N O L O G I E S");
    add("");
    add("                   1200 Harbor Point Drive");
    add("                   Lakeview, OR 97630");
    add("                   (555) 010-4477 - www.quillmark.example");
    add("");
    add("");
    add("Network Server Master Event Logfile");
    add("");
    add(" DATE     TIME           CLIENT ADDRESS      MESSAGE DESCRIPTION");
    add(std::string(80, '-'));
    return h;
}

ActivityRecorder::ActivityRecorder(const Variables& v, IFileSystem& files, IClock& clock,
                                   IView& view)
    : v_(v), files_(files), clock_(clock), view_(view) {}

void ActivityRecorder::LogActivity(std::string_view text, Integer comPort) {
    Record("Switcher COM" + std::to_string(comPort), DescribeSwitcherText(text));
}

void ActivityRecorder::LogIPActivity(std::string_view text, std::string_view address) {
    Record(std::string(address), DescribeClientText(text));
}

void ActivityRecorder::CreateEventLog() {
    files_.WriteReplace(v_.AppPath + kEventLogFileName, EventLogHeader());
}

void ActivityRecorder::ClearHistory() {
    rows_.clear();
    view_.HistoryCleared();
}

void ActivityRecorder::Record(const std::string& address, const std::string& description) {
    if (description.empty()) return;
    const std::string dateText = FormatGeneralDate(clock_.Now(), clock_.Patterns());

    // A list size below 1 still shows the newest row.
    const std::size_t limit = v_.MaxListSize < 1 ? 1 : static_cast<std::size_t>(v_.MaxListSize);
    if (rows_.size() >= limit) {
        rows_.pop_front();
        view_.HistoryFirstRowRemoved();
    }
    rows_.push_back({address, description});
    view_.HistoryRowAdded(rows_.back());

    if (!v_.LogFileOn) return;
    try {
        const std::string path = v_.AppPath + kEventLogFileName;
        if (!files_.Exists(path)) CreateEventLog();
        files_.Append(path, RecordLine(dateText, address, description) + "\r\n");
        logFailureReported_ = false;
    } catch (const ComponentError& e) {
        // Reported once; a later success re-arms the report.
        if (!logFailureReported_) {
            logFailureReported_ = true;
            view_.Report("File Error", ErrorText("Error Writing Eventlog.txt file", e));
        }
    }
}

}  // namespace qv
