#include "components/socket_poller.h"

#if defined(__linux__) && !defined(QUORVEX_NOTIFIER_PER_SOCKET)
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qv {

#if defined(__linux__) && !defined(QUORVEX_NOTIFIER_PER_SOCKET)

namespace {
// Events taken per wake-up; more ready sockets wake the loop again at once.
constexpr int kEventsPerTurn = 256;
}  // namespace

SocketPoller::SocketPoller(Ready ready, QObject* parent)
    : QObject(parent), epoll_(::epoll_create1(EPOLL_CLOEXEC)), ready_(std::move(ready)) {
    if (epoll_ < 0) throw ComponentError(kErrNoBuffers, "Insufficient resources");
    notifier_ = std::make_unique<QSocketNotifier>(epoll_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SocketPoller::Drain);
}

SocketPoller::~SocketPoller() {
    notifier_.reset();
    ::close(epoll_);
}

void SocketPoller::Watch(net::Handle h, std::uint64_t key, bool read, bool write) {
    if (!read && !write) {
        // Out of the set altogether: a hang-up or an error would otherwise be reported on and on
        // for a socket nobody is waiting on.
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, h, nullptr);
        return;
    }
    epoll_event e{};
    e.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
    e.data.u64 = key;
    if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, h, &e) != 0 && errno == ENOENT)
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, h, &e);
}

void SocketPoller::Drain() {
    epoll_event events[kEventsPerTurn];
    const int n = ::epoll_wait(epoll_, events, kEventsPerTurn, 0);
    for (int i = 0; i < n; ++i) {
        const std::uint32_t ev = events[i].events;
        // An error or hang-up shows to whichever side is watched: the read or write finds it.
        const bool failed = ev & (EPOLLERR | EPOLLHUP);
        ready_(events[i].data.u64, failed || (ev & EPOLLIN), failed || (ev & EPOLLOUT));
    }
}

#else

SocketPoller::SocketPoller(Ready ready, QObject* parent)
    : QObject(parent), ready_(std::move(ready)) {}

SocketPoller::~SocketPoller() = default;

void SocketPoller::Watch(net::Handle h, std::uint64_t key, bool read, bool write) {
    if (!read && !write) {
        notifiers_.erase(h);
        return;
    }
    Pair& p = notifiers_[h];
    const auto set = [&](Notifier& n, QSocketNotifier::Type type, bool on, bool readable) {
        if (!on) {
            if (n) n->setEnabled(false);
            return;
        }
        if (!n) n = Notifier(new QSocketNotifier(static_cast<qintptr>(h), type, this));
        // The key may belong to a later connection on the same handle: connected afresh.
        QObject::disconnect(n.get(), nullptr, this, nullptr);
        connect(n.get(), &QSocketNotifier::activated, this,
                [this, key, readable] { ready_(key, readable, !readable); });
        n->setEnabled(true);
    };
    set(p.read, QSocketNotifier::Read, read, true);
    set(p.write, QSocketNotifier::Write, write, false);
}

#endif

}  // namespace qv
