#include "components/qt_clock.h"

#include <QDateTime>
#include <QLocale>
#include <chrono>

namespace qv {

QtClock::QtClock(const QLocale& locale) {
    if (locale.language() == QLocale::C) return;  // no regional settings: US patterns
    QString date = locale.dateFormat(QLocale::ShortFormat);
    // The general date shows the full year.
    if (!date.contains(QLatin1String("yyyy")))
        date.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    // The formatter drops the time zone ("t") itself. The log is single-byte text: narrow and
    // no-break spaces of newer locale data become plain blanks.
    const auto singleByte = [](QString s) {
        s.replace(QChar(0x202F), QLatin1Char(' ')).replace(QChar(0x00A0), QLatin1Char(' '));
        return s.toLatin1().toStdString();
    };
    patterns_.shortDate = singleByte(date);
    patterns_.longTime = singleByte(locale.timeFormat(QLocale::LongFormat));
}

long long QtClock::MonotonicMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

LocalDateTime QtClock::Now() const {
    // The local time is worked out once a second: each working-out looks at the time-zone
    // file again, and a burst of records would otherwise pay for that per record.
    const long long second = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    if (second == cachedSecond_) return cached_;
    const QDateTime now = QDateTime::fromSecsSinceEpoch(second);
    const QDate d = now.date();
    const QTime t = now.time();
    cached_ = {d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()};
    cachedSecond_ = second;
    return cached_;
}

}  // namespace qv
