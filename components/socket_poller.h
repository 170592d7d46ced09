// Readiness of many client sockets through few descriptors of the event loop. On Linux one
// epoll set carries every socket and only its descriptor is watched by the event loop, so a
// turn of the loop costs the same with 10 clients as with 1,000; elsewhere each socket has a
// notifier of its own. Level-triggered either way: a socket stays ready until it is served.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/component_error.h"
#include "components/native_socket.h"

#if !defined(__linux__) || defined(QUORVEX_NOTIFIER_PER_SOCKET)
#include <unordered_map>
#endif

namespace qv {

class SocketPoller final : public QObject {
    Q_OBJECT
  public:
    // Called from the event loop for a socket that is ready for what it is watched for; key is
    // the caller's, given at Watch.
    using Ready = std::function<void(std::uint64_t key, bool readable, bool writable)>;

    explicit SocketPoller(Ready ready, QObject* parent = nullptr);
    ~SocketPoller() override;
    SocketPoller(const SocketPoller&) = delete;
    SocketPoller& operator=(const SocketPoller&) = delete;

    // Watches h for reading and/or writing (neither: not at all). Call Forget before closing h.
    void Watch(net::Handle h, std::uint64_t key, bool read, bool write);
    void Forget(net::Handle h) { Watch(h, 0, false, false); }

  private:
#if defined(__linux__) && !defined(QUORVEX_NOTIFIER_PER_SOCKET)
    void Drain();
    int epoll_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
#else
    // A notifier may go while it signals: it is disabled and deleted from the event loop.
    struct Deleter {
        void operator()(QSocketNotifier* n) const {
            n->setEnabled(false);
            n->deleteLater();
        }
    };
    using Notifier = std::unique_ptr<QSocketNotifier, Deleter>;
    struct Pair {
        Notifier read, write;
    };
    // Not a QHash: its nodes must be copyable (it copies them to detach), and a notifier has one
    // owner.
    std::unordered_map<net::Handle, Pair> notifiers_;
#endif
    Ready ready_;
};

}  // namespace qv
