// Tells the service manager how the server is doing (systemd's notify protocol): ready once
// start-up has run, a status line, watchdog pings from the event loop, stopping at shut-down.
// Built without libsystemd (other platforms) every call does nothing.
#pragma once

#include <QObject>
#include <QTimer>
#include <string>

namespace qv {

class ServiceNotifier final : public QObject {
    Q_OBJECT
  public:
    explicit ServiceNotifier(QObject* parent = nullptr);
    // READY=1 and the status so far, and watchdog pings from now on when the manager asks.
    void Ready();
    // STATUS= with the clients and the switcher link, sent only when the text changes (kept
    // until READY: start-up's changes are one status).
    void SetState(int clients, bool linkOpen, bool localOnly = false);
    // STOPPING=1 once, and no more pings.
    void Stopping();
    // The status line, e.g. "2 clients connected, switcher link open".
    // With localOnly it says that only local clients are taken, for want of a password.
    static std::string StatusText(int clients, bool linkOpen, bool localOnly = false);
    // The ping interval in ms, 0 when the manager wants no pings.
    int WatchdogIntervalMs() const { return watchdog_.isActive() ? watchdog_.interval() : 0; }

  private:
    void Send(const std::string& message);

    QTimer watchdog_;
    std::string status_;
    bool ready_ = false;
    bool stopping_ = false;
};

}  // namespace qv
