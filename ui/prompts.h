// Questions and notices that a dialog's own handler asks and waits for (OK / Cancel). Tests
// replace them to answer without real boxes.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

namespace qv {

struct Prompts {
    // OK and Cancel; true for OK.
    std::function<bool(QWidget* parent, const QString& title, const QString& text)> confirm =
        [](QWidget* parent, const QString& title, const QString& text) {
            QString shown = text;
            shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
            QMessageBox box(QMessageBox::NoIcon, title, shown,
                            QMessageBox::Ok | QMessageBox::Cancel, parent);
            box.setDefaultButton(QMessageBox::Ok);
            return box.exec() == QMessageBox::Ok;
        };
    // OK only, no icon.
    std::function<void(QWidget* parent, const QString& title, const QString& text)> inform =
        [](QWidget* parent, const QString& title, const QString& text) {
            QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
            box.exec();
        };
};

// Our texts break lines with CR LF (or CR alone); a box shows them as line breaks.
inline QString BoxText(const std::string& text) {
    QString s = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

}  // namespace qv
