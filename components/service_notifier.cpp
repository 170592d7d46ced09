#include "components/service_notifier.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#ifdef QUORVEX_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace qv {
namespace {

// Pings go out at this fraction of the manager's watchdog time, as sd_watchdog_enabled(3)
// advises, so one late event-loop turn does not get the service killed.
constexpr int kWatchdogPingsPerPeriod = 2;
constexpr long long kMicrosecondsPerMs = 1000;

}  // namespace

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent) {
    connect(&watchdog_, &QTimer::timeout, this, [this] { Send("WATCHDOG=1"); });
}

void ServiceNotifier::Ready() {
    if (ready_ || stopping_) return;
    ready_ = true;
    Send("READY=1");
    if (!status_.empty()) Send("STATUS=" + status_);
#ifdef QUORVEX_HAVE_SYSTEMD
    uint64_t usec = 0;
    if (::sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        const long long ms =
            static_cast<long long>(usec) / kMicrosecondsPerMs / kWatchdogPingsPerPeriod;
        watchdog_.start(static_cast<int>(std::clamp<long long>(ms, 1, INT_MAX)));
    }
#endif
}

std::string ServiceNotifier::StatusText(int clients, bool linkOpen, bool localOnly) {
    std::string s = std::to_string(clients) + (clients == 1 ? " client" : " clients");
    s += " connected, switcher link ";
    s += linkOpen ? "open" : "down, retrying";
    if (localOnly)
        s += "; no password is set: only local clients are taken (quorvex --set-password)";
    return s;
}

void ServiceNotifier::SetState(int clients, bool linkOpen, bool localOnly) {
    // Closing the port at shut-down is no news.
    if (stopping_) return;
    const std::string text = StatusText(clients, linkOpen, localOnly);
    if (text == status_) return;
    status_ = text;
    if (ready_) Send("STATUS=" + text);
}

void ServiceNotifier::Stopping() {
    if (stopping_) return;
    stopping_ = true;
    watchdog_.stop();
    Send("STOPPING=1");
}

void ServiceNotifier::Send([[maybe_unused]] const std::string& message) {
#ifdef QUORVEX_HAVE_SYSTEMD
    ::sd_notify(0, message.c_str());  // nothing happens outside a notify service
#endif
}

}  // namespace qv
