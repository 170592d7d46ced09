#include "app/demo_switcher.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace qv {

#ifdef Q_OS_UNIX
QString OpenRawPty(int& master, int& slave) {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return {};
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    // A child (a test's server process) holding the master would keep the line from hanging up.
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    return QString::fromLocal8Bit(name);
}

DemoSwitcher::DemoSwitcher(QObject* parent) : QObject(parent) {
    path_ = OpenRawPty(master_, slave_);
    if (path_.isEmpty()) return;
    readNotifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &DemoSwitcher::OnReadable);
    writeNotifier_ = new QSocketNotifier(master_, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &DemoSwitcher::Flush);
}

DemoSwitcher::~DemoSwitcher() {
    delete readNotifier_;
    delete writeNotifier_;
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
}

void DemoSwitcher::OnReadable() {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        const std::string reply = sim_.Feed(std::string_view(buf, static_cast<std::size_t>(n)));
        pending_.append(reply.data(), static_cast<qsizetype>(reply.size()));
    }
    Flush();
}

void DemoSwitcher::Flush() {
    while (!pending_.isEmpty()) {
        const ssize_t n =
            ::write(master_, pending_.constData(), static_cast<size_t>(pending_.size()));
        if (n <= 0) break;
        pending_.remove(0, n);
    }
    writeNotifier_->setEnabled(!pending_.isEmpty());
}
#else
QString OpenRawPty(int&, int&) {
    return {};
}
DemoSwitcher::DemoSwitcher(QObject* parent) : QObject(parent) {}
DemoSwitcher::~DemoSwitcher() = default;
void DemoSwitcher::OnReadable() {}
void DemoSwitcher::Flush() {}
#endif

}  // namespace qv
