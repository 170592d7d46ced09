#include "components/qt_timer.h"

namespace qv {

QtTimer::QtTimer(QObject* parent) : QObject(parent) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (tick_) tick_();
    });
}

void QtTimer::SetEnabled(bool on) {
    if (on && !timer_.isActive())
        timer_.start();
    else if (!on)
        timer_.stop();
}

void QtTimer::SetInterval(int ms) {
    timer_.setInterval(ms);  // restarts an active timer: a new full period
}

}  // namespace qv
