// A USB serial adapter that can be unplugged and plugged in again: a pseudo-terminal behind a
// symlink named like the adapter's device node (ttyUSB0) in a temporary folder. Vanish()
// closes the pseudo-terminal (the kernel hangs its line up, as it does for an unplugged
// adapter) and removes the symlink; Return() opens a new pseudo-terminal and points the
// symlink at it, as udev does when the adapter comes back.
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

#include "live.h"

namespace qv::test {

class VanishingTty {
  public:
    explicit VanishingTty(const QString& name = QStringLiteral("ttyUSB0"))
        : link_(dir_.filePath(name)) {
        Return();
    }
    // The path the server is given, as it would be given /dev/ttyUSB0.
    const QString& path() const { return link_; }
    bool present() const { return pty_ != nullptr; }
    // The adapter's far side (the switcher); only while present.
    Pty& line() { return *pty_; }

    // The line hangs up; the name stays (udev has not removed the node yet).
    void HangUp() { pty_.reset(); }
    // Unplugged: the line hangs up and the device node goes away.
    void Vanish() {
        HangUp();
        QFile::remove(link_);
    }
    // Plugged in again: a new line under the same name.
    void Return() {
        Vanish();
        pty_ = std::make_unique<Pty>();
        if (!QFile::link(pty_->path(), link_)) qFatal("cannot link %s", qPrintable(link_));
    }

  private:
    QTemporaryDir dir_;
    QString link_;
    std::unique_ptr<Pty> pty_;
};

}  // namespace qv::test
