#include "app/headless_view.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace qv {

std::string ReportLine(const std::string& title, const std::string& text) {
    std::string line = title + ": " + text;
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    return line;
}

void HeadlessView::Report(const std::string& title, const std::string& text) {
    std::fprintf(err_, "%s\n", ReportLine(title, text).c_str());
    std::fflush(err_);
}

void HistoryPrinter::Recorded(const ActivityRecord& row) {
    std::fwrite(row.address.data(), 1, row.address.size(), out_);
    std::fputc('\t', out_);
    std::fwrite(row.description.data(), 1, row.description.size(), out_);
    std::fputc('\n', out_);
}

void HistoryPrinter::RecordsEnded() {
    std::fflush(out_);
}

void SlowedAddressPrinter::AddressSlowed(const std::string& address) {
    std::fprintf(err_, "quorvex: wrong passwords from %s: its logins are being slowed\n",
                 address.c_str());
    std::fflush(err_);
}

void SlowedAddressPrinter::ConnectionRefused(const std::string& address) {
    std::fprintf(err_,
                 "quorvex: refused a connection from %s (its logins are being slowed and enough "
                 "of its connections await the password)\n",
                 address.c_str());
    std::fflush(err_);
}

void HeadlessView::CloseAllWindows() {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

}  // namespace qv
