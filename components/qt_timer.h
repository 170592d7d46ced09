// A window timer over QTimer with the timer rule: enabling an enabled timer leaves its period
// running; a new interval, or disable then enable, starts a new full period.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

#include "base/ports.h"

namespace qv {

class QtTimer final : public QObject, public qv::ITimer {
    Q_OBJECT
  public:
    explicit QtTimer(QObject* parent = nullptr);
    void SetTick(std::function<void()> tick) override { tick_ = std::move(tick); }
    void SetEnabled(bool on) override;
    bool Enabled() const override { return timer_.isActive(); }
    void SetInterval(int ms) override;
    int Interval() const override { return timer_.interval(); }

  private:
    QTimer timer_;
    std::function<void()> tick_;
};

}  // namespace qv
