#include "components/qt_clock.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

namespace qv {

QtClock::QtClock() {
    const QLocale locale = QLocale::system();
    if (locale.language() == QLocale::C) return;  // no regional settings: US patterns
    QString date = locale.dateFormat(QLocale::ShortFormat);
    // The general date shows the full year.
    if (!date.contains(QLatin1String("yyyy")))
        date.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    QString time = locale.timeFormat(QLocale::LongFormat);
    time.remove(QRegularExpression(QStringLiteral("\\s*t+")));  // no time zone
    patterns_.shortDate = date.toStdString();
    patterns_.longTime = time.trimmed().toStdString();
}

LocalDateTime QtClock::Now() const {
    const QDateTime now = QDateTime::currentDateTime();
    const QDate d = now.date();
    const QTime t = now.time();
    return {d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()};
}

}  // namespace qv
