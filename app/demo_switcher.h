// The demo switcher: the simulator's protocol on a pseudo-terminal inside this process, so the
// whole path works without hardware.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "tools/switcher_sim.h"

class QSocketNotifier;

namespace qv {

// Opens a pseudo-terminal with its line in raw mode and a non-blocking master side; returns the
// slave's path, or an empty one when none could be had (always on platforms without ptys).
QString OpenRawPty(int& master, int& slave);

class DemoSwitcher final : public QObject {
    Q_OBJECT
  public:
    explicit DemoSwitcher(QObject* parent = nullptr);
    ~DemoSwitcher() override;
    // The device the server opens; empty when no pseudo-terminal could be had.
    QString DevicePath() const { return path_; }

  private:
    void OnReadable();
    void Flush();

    SwitcherSim sim_;
    int master_ = -1;
    int slave_ = -1;  // held open so the line survives the server's reopening
    QString path_;
    QByteArray pending_;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
};

}  // namespace qv
