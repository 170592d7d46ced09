#include "components/qt_socket_array.h"

#include <QHostAddress>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "records/settings.h"

namespace qv {
namespace {

// Listen failures carry the numbers of the socket control: 24000 plus the WinSock offset.
ComponentError ListenError(int error) {
#ifdef _WIN32
    return ComponentError(kErrSocket + (error - 10000), net::ErrorText(error));
#else
    switch (error) {
        case EADDRINUSE:
            return ComponentError(kErrAddressInUse, "The bound address is already in use");
        case EACCES:
        case EPERM:
            return ComponentError(kErrSocketAccess, "The address is protected");
        case EADDRNOTAVAIL:
            return ComponentError(kErrAddressNotAvailable, "The address is not available");
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return ComponentError(kErrNoBuffers, "Insufficient resources");
        default:
            return ComponentError(kErrSocket, net::ErrorText(error));
    }
#endif
}

// Queued output already sent is cut off the front once it is this large and half the queue.
constexpr std::size_t kCompactAt = 64 * 1024;

}  // namespace

void QtSocketArray::NotifierDeleter::operator()(QSocketNotifier* n) const {
    n->setEnabled(false);
    n->deleteLater();
}

QtSocketArray::QtSocketArray(QObject* parent)
    : QObject(parent), poller_([this](std::uint64_t key, bool readable, bool writable) {
          OnReady(key, readable, writable);
      }) {
    clock_.start();
    pauseTimer_.setSingleShot(true);
    connect(&pauseTimer_, &QTimer::timeout, this, &QtSocketArray::ResumeAccepting);
    connect(&checkTimer_, &QTimer::timeout, this, &QtSocketArray::CheckClients);
    replyCheck_.setSingleShot(true);
    replyCheck_.setInterval(kReplyCheckMs);
    gatherTimer_.setSingleShot(true);
    gatherTimer_.setTimerType(Qt::PreciseTimer);
    connect(&gatherTimer_, &QTimer::timeout, this, &QtSocketArray::FanOut);
    connect(&replyCheck_, &QTimer::timeout, this, &QtSocketArray::CheckClients);
    SetTiming(timing_);
}

QtSocketArray::~QtSocketArray() {
    // Going down: nothing waits for a slow reader, nothing stays queued in the kernel.
    for (auto& c : elements_)
        if (c && c->handle != net::kNoHandle) Release(*c, true);
    for (const Pending& p : std::as_const(pending_)) net::Abort(p.handle);
    CloseListener();
}

void QtSocketArray::SetTiming(const SocketTiming& timing) {
    timing_ = timing;
    checkTimer_.setInterval(std::max(1, timing_.stallMs / kStallChecksPerTimeout));
}

QtSocketArray::Notifier QtSocketArray::MakeNotifier(net::Handle h, QSocketNotifier::Type type) {
    return Notifier(new QSocketNotifier(static_cast<qintptr>(h), type, this));
}

// ---- the listener ----

void QtSocketArray::SetListenAddress(const QHostAddress& address) {
    listenAddress_ = {};
    if (address == QHostAddress(QHostAddress::AnyIPv4)) return;
    if (address == QHostAddress(QHostAddress::Any)) {
        listenAddress_.family = net::ListenAddress::AnyBoth;
    } else if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        listenAddress_.family = net::ListenAddress::IPv4;
        const quint32 v4 = address.toIPv4Address();
        for (int i = 0; i < 4; ++i)
            listenAddress_.bytes[i] = static_cast<unsigned char>(v4 >> (24 - 8 * i));
    } else {
        listenAddress_.family = net::ListenAddress::IPv6;
        const Q_IPV6ADDR v6 = address.toIPv6Address();
        for (int i = 0; i < 16; ++i) listenAddress_.bytes[i] = v6[i];
    }
}

void QtSocketArray::Listen(Long port) {
    if (port < 0 || port > kMaxTcpPort)
        throw ComponentError(kErrInvalidValue, "Invalid property value");
    int error = 0;
    const net::Handle h = net::Listen(listenAddress_, static_cast<std::uint16_t>(port), &error);
    if (h == net::kNoHandle) throw ListenError(error);
    listener_ = h;
    listenNotifier_ = MakeNotifier(h, QSocketNotifier::Read);
    connect(listenNotifier_.get(), &QSocketNotifier::activated, this, &QtSocketArray::OnAcceptable);
    // Switched once while descriptors are surely free: a sanitizer build checks a type on its
    // first call and needs a descriptor to do so, which a full table would not give it.
    listenNotifier_->setEnabled(true);
}

void QtSocketArray::MoveListener(Long port) {
    CloseListener();
    Listen(port);
}

void QtSocketArray::CloseListener() {
    pauseTimer_.stop();
    listenNotifier_.reset();
    if (listener_ != net::kNoHandle) net::Close(listener_);
    listener_ = net::kNoHandle;
}

bool QtSocketArray::Listening() const {
    return listener_ != net::kNoHandle;
}

quint16 QtSocketArray::ListeningPort() const {
    return listener_ == net::kNoHandle ? 0 : net::LocalPort(listener_);
}

void QtSocketArray::OnAcceptable() {
    for (int n = 0; n < kAcceptsPerTurn && listener_ != net::kNoHandle; ++n) {
        int error = 0;
        const net::Handle h = net::Accept(listener_, &error);
        if (h == net::kNoHandle) {
            if (error == 0) return;  // no one else is waiting
            if (net::IsOutOfResources(error)) {
                // The waiting connection stays in the backlog; trying again at once would
                // only spin. Served clients go on meanwhile.
                listenNotifier_->setEnabled(false);
                pauseTimer_.start(timing_.acceptPauseMs);
                return;
            }
            continue;  // that one gave up while waiting; take the next
        }
        if (!filter_.Empty()) {
            const QHostAddress peer(QString::fromStdString(net::PeerAddress(h)));
            if (!filter_.Allows(peer)) {
                if (filter_.ShouldSay(peer, clock_.elapsed()))
                    std::fprintf(stderr, "quorvex: refused a connection from %s (not in --allow)\n",
                                 qPrintable(peer.toString()));
                net::Abort(h);
                continue;
            }
        } else if (localOnly_) {
            const QHostAddress peer(QString::fromStdString(net::PeerAddress(h)));
            if (!Unmapped(peer).isLoopback()) {
                if (filter_.ShouldSay(peer, clock_.elapsed()))
                    std::fprintf(stderr,
                                 "quorvex: refused a connection from %s: no password is set: only "
                                 "local clients are taken; set one with quorvex --set-password or "
                                 "allow addresses with --allow\n",
                                 qPrintable(Unmapped(peer).toString()));
                net::Abort(h);
                ++localOnlyRefusals_;
                if (localOnlyRefused_) localOnlyRefused_();
                continue;
            }
        }
        nextRequestId_ = nextRequestId_ == kIntegerMax ? 1 : nextRequestId_ + 1;
        const Long id = nextRequestId_;
        pending_.insert(id, Pending{h, net::PeerAddress(h)});
        if (events_) events_->ConnectionRequest(id);
        // A request the server neither took nor refused is not left hanging.
        if (pending_.contains(id)) Refuse(id);
    }
}

void QtSocketArray::ResumeAccepting() {
    if (listenNotifier_) listenNotifier_->setEnabled(true);
}

// ---- client elements ----

QtSocketArray::Client* QtSocketArray::Find(Integer index) {
    return index >= 0 && std::size_t(index) < elements_.size() ? elements_[index].get() : nullptr;
}

const QtSocketArray::Client* QtSocketArray::Find(Integer index) const {
    return index >= 0 && std::size_t(index) < elements_.size() ? elements_[index].get() : nullptr;
}

std::unique_ptr<QtSocketArray::Client>& QtSocketArray::Element(Integer index) {
    if (std::size_t(index) >= elements_.size()) elements_.resize(std::size_t(index) + 1);
    return elements_[index];
}

void QtSocketArray::CreateElement(Integer index) {
    if (index < 0) return;
    auto& c = Element(index);
    if (!c) c = std::make_unique<Client>();
}

void QtSocketArray::RemoveElement(Integer index) {
    Client* c = Find(index);
    if (!c) return;
    if (c->handle != net::kNoHandle) Release(*c, false);
    elements_[index].reset();
    while (!elements_.empty() && !elements_.back()) elements_.pop_back();
}

void QtSocketArray::Accept(Integer index, Long requestId) {
    if (index < 0) throw ComponentError(kErrInvalidValue, "Invalid property value");
    auto p = pending_.find(requestId);
    if (p == pending_.end()) throw ComponentError(24038, "Invalid socket handle");
    const net::Handle h = p.value().handle;
    std::string peer = std::move(p.value().peer);
    pending_.erase(p);
    auto& slot = Element(index);
    if (slot && slot->handle != net::kNoHandle) Release(*slot, true);
    slot = std::make_unique<Client>();
    Client& c = *slot;
    c.id = requestId;
    c.key = std::uint64_t(std::uint32_t(index)) << 32 | std::uint32_t(requestId);
    c.handle = h;
    c.peer = std::move(peer);
    net::SetClientOptions(h, timing_.keepAlive);
    // Text or a failure that came before the take-over wakes the poller from the event loop.
    WatchFor(c, true, false);
}

void QtSocketArray::WatchFor(Client& c, bool read, bool write) {
    if (c.reading == read && c.writing == write) return;
    c.reading = read;
    c.writing = write;
    poller_.Watch(c.handle, c.key, read, write);
}

void QtSocketArray::OnReady(std::uint64_t key, bool readable, bool writable) {
    const auto index = static_cast<Integer>(key >> 32);
    const auto live = [&] {
        const Client* c = Find(index);
        return c && c->key == key && c->handle != net::kNoHandle && !c->gone;
    };
    if (writable && live() && Find(index)->writing) OnWritable(index);
    // The write's failure may have been raised, and its handler may have closed the slot.
    if (readable && live() && Find(index)->reading) OnReadable(index);
}

void QtSocketArray::Refuse(Long requestId) {
    auto p = pending_.find(requestId);
    if (p == pending_.end()) return;
    net::Abort(p.value().handle);
    pending_.erase(p);
}

std::string QtSocketArray::RequestAddress(Long requestId) const {
    const auto p = pending_.constFind(requestId);
    return p == pending_.cend() ? std::string() : p.value().peer;
}

bool QtSocketArray::Connected(Integer index) const {
    const Client* c = Find(index);
    return c && c->handle != net::kNoHandle;
}

std::string QtSocketArray::PeerAddress(Integer index) const {
    const Client* c = Find(index);
    return c ? c->peer : std::string();
}

net::Handle QtSocketArray::NativeHandle(Integer index) const {
    const Client* c = Find(index);
    return c ? c->handle : net::kNoHandle;
}

// ---- input ----

bool QtSocketArray::ReadSome(Integer index, Client& c, bool raiseNow) {
    char chunk[kReadChunk];
    const net::IoResult r = net::Receive(c.handle, chunk, sizeof chunk);
    switch (r.kind) {
        case net::IoResult::Moved:
            c.in.append(chunk, r.bytes);
            return r.bytes == kReadChunk;  // a short read took all there was
        case net::IoResult::WouldBlock:
            return false;
        case net::IoResult::End:
            // The end is read before a reset that came after it.
            if (net::PendingError(c.handle) != 0) {
                Fail(index, c, raiseNow);
                return false;
            }
            // The client shut its sending side: it may still be waiting for answers. The end
            // stays readable, so the notifier goes off; failures are looked for by the checks.
            c.inputEnded = true;
            WatchFor(c, false, c.writing);
            if (!replyCheck_.isActive()) replyCheck_.start();  // output just sent may bring one
            Watch();
            RaiseInputEnded(index, c, raiseNow);
            return false;
        case net::IoResult::Error:
            Fail(index, c, raiseNow);
            return false;
    }
    return false;
}

void QtSocketArray::OnReadable(Integer index) {
    Client* c = Find(index);
    if (!c || c->handle == net::kNoHandle || c->gone) return;
    const std::size_t had = c->in.size();
    const bool more = ReadSome(index, *c, true);
    c = Find(index);  // a failure was raised: its handler may have removed the element
    if (!c) return;
    c->moreWaiting = more;
    if (c->in.size() > had && events_) events_->DataArrival(index);
}

std::string QtSocketArray::ReadAll(Integer index, std::size_t most) {
    Client* c = Find(index);
    if (!c) return {};
    // Everything that has arrived, up to what the server takes, as one piece: a unit that
    // takes "the whole buffer" sees it.
    while (c->in.size() < most && c->moreWaiting && c->handle != net::kNoHandle && !c->gone)
        c->moreWaiting = ReadSome(index, *c, false);
    std::string text;
    if (c->in.size() <= most) {
        text.swap(c->in);
    } else {
        text = c->in.substr(0, most);
        c->in.erase(0, most);
        OfferRestLater(index, *c);
    }
    return text;
}

void QtSocketArray::SetReading(Integer index, bool on) {
    Client* c = Find(index);
    if (!c || c->handle == net::kNoHandle || c->gone || c->paused == !on) return;
    c->paused = !on;
    WatchFor(*c, WantsInput(*c), c->writing);
    if (on && !c->in.empty()) OfferRestLater(index, *c);
}

void QtSocketArray::OfferRestLater(Integer index, const Client& c) {
    QTimer::singleShot(0, this, [this, index, id = c.id] {
        const Client* now = Find(index);
        if (now && now->id == id && now->handle != net::kNoHandle && !now->gone && !now->paused &&
            !now->in.empty() && events_)
            events_->DataArrival(index);
    });
}

// ---- output ----

std::size_t QtSocketArray::QueuedOutput(Integer index) const {
    const Client* c = Find(index);
    return c ? c->Queued() : 0;
}

ISocketArray::WriteResult QtSocketArray::Write(Integer index, std::string_view text) {
    Client* c = Find(index);
    if (!c || c->handle == net::kNoHandle || c->gone) return WriteResult::Failed;
    if (c->Queued() + text.size() > kPendingOutputCap) return WriteResult::Overflow;
    // Held output is joined, not overtaken: it is all this client's queue.
    if (c->held || (holding_ && c->Queued() == 0)) {
        if (!c->held) held_.push_back(index);
        c->held = true;
        c->out.append(text);
        return WriteResult::Ok;
    }
    std::size_t sent = 0;
    if (c->Queued() == 0) {
        // Straight to the kernel while nothing waits ahead of this text.
        const net::IoResult r = net::Send(c->handle, text.data(), text.size());
        if (r.kind == net::IoResult::Error) {
            Fail(index, *c, false);
            return WriteResult::Failed;
        }
        if (r.kind == net::IoResult::Moved) sent = r.bytes;
        // A client whose input ended may be gone altogether: output to it brings the reset
        // that shows it, a round trip later.
        if (c->inputEnded && !replyCheck_.isActive()) replyCheck_.start();
        if (sent == text.size()) return WriteResult::Ok;
        c->lastProgressMs = clock_.elapsed();  // from now on output waits for this client
    }
    c->out.append(text.substr(sent));
    WaitForRoom(*c);
    return WriteResult::Ok;
}

void QtSocketArray::WaitForRoom(Client& c) {
    WatchFor(c, c.reading, true);
    Watch();
}

void QtSocketArray::SendHeldOutput() {
    holding_ = false;
    const qint64 now = clock_.nsecsElapsed();
    const bool streaming = now - lastRunNs_ < qint64(timing_.streamGapMs) * kNsPerMs;
    lastRunNs_ = now;
    if (gatherTimer_.isActive()) return;  // this run joins the fan-out already due
    // Under a steady stream the fan-out to every client may not take more than its share of
    // the time: output gathers until the next may go, so several runs leave as one write per
    // client. A run after a quiet spell, or a fan-out that costs little, goes at once.
    const qint64 wait = nextFanOutNs_ - now;
    if (streaming && wait >= kGatherMinNs) {
        gatherTimer_.start(int((wait + kNsPerMs - 1) / kNsPerMs));
        return;
    }
    FanOut();
}

void QtSocketArray::FanOut() {
    const qint64 start = clock_.nsecsElapsed();
    std::vector<Integer> held;
    held.swap(held_);
    for (Integer index : held) {
        Client* c = Find(index);
        if (!c || !c->held) continue;
        c->held = false;
        if (c->handle == net::kNoHandle || c->gone) continue;
        if (Flush(*c) != 0) {
            Fail(index, *c, false);
            continue;
        }
        if (c->inputEnded && !replyCheck_.isActive()) replyCheck_.start();
        if (c->Queued() == 0) continue;
        // The kernel took only part: the rest waits like any output that waits.
        c->lastProgressMs = clock_.elapsed();
        WaitForRoom(*c);
    }
    const qint64 end = clock_.nsecsElapsed();
    const qint64 cost = end - start;
    const qint64 most = qint64(timing_.gatherMaxMs) * kNsPerMs;
    nextFanOutNs_ =
        end +
        (cost >= most / timing_.fanOutShareInverse ? most : cost * timing_.fanOutShareInverse);
}

int QtSocketArray::Flush(Client& c) {
    while (c.Queued() > 0) {
        const net::IoResult r = net::Send(c.handle, c.out.data() + c.outAt, c.Queued());
        if (r.kind == net::IoResult::Error) return r.error;
        if (r.kind != net::IoResult::Moved || r.bytes == 0) break;
        c.outAt += r.bytes;
        c.lastProgressMs = clock_.elapsed();
    }
    if (c.Queued() == 0) {
        std::string().swap(c.out);  // an idle client holds no buffer
        c.outAt = 0;
        WatchFor(c, c.reading, false);
    } else if (c.outAt >= kCompactAt && c.outAt * 2 >= c.out.size()) {
        c.out.erase(0, c.outAt);
        c.outAt = 0;
    }
    return 0;
}

void QtSocketArray::OnWritable(Integer index) {
    Client* c = Find(index);
    if (!c || c->handle == net::kNoHandle || c->gone) return;
    if (Flush(*c) != 0) Fail(index, *c, true);
}

// ---- failures and checks ----

void QtSocketArray::Fail(Integer index, Client& c, bool raiseNow) {
    if (c.gone) return;
    c.gone = true;
    WatchFor(c, false, false);
    if (raiseNow) {
        if (events_) events_->Disconnected(index);
        return;
    }
    // Found inside a call: the event comes from the event loop.
    QTimer::singleShot(0, this, [this, index, id = c.id] {
        const Client* now = Find(index);
        if (now && now->id == id && now->handle != net::kNoHandle && events_)
            events_->Disconnected(index);
    });
}

void QtSocketArray::RaiseInputEnded(Integer index, const Client& c, bool raiseNow) {
    if (raiseNow) {
        if (events_) events_->InputEnded(index);
        return;
    }
    // Found inside a call: the event comes from the event loop.
    QTimer::singleShot(0, this, [this, index, id = c.id] {
        const Client* now = Find(index);
        if (now && now->id == id && now->handle != net::kNoHandle && !now->gone && events_)
            events_->InputEnded(index);
    });
}

void QtSocketArray::Watch() {
    if (!checkTimer_.isActive()) checkTimer_.start();
}

void QtSocketArray::CheckClients() {
    const qint64 now = clock_.elapsed();
    std::vector<Integer> failed;
    bool needed = false;
    for (std::size_t index = 0; index < elements_.size(); ++index) {
        Client* c = elements_[index].get();
        if (!c || c->handle == net::kNoHandle || c->gone) continue;
        // Output held for gathering is not waiting for the client.
        if (c->Queued() > 0 && !c->held) {
            needed = true;
            if (now - c->lastProgressMs >= timing_.stallMs) {
                c->jammed = true;  // its close resets, so no output stays behind in the kernel
                failed.push_back(Integer(index));
                continue;
            }
        }
        if (c->inputEnded) {
            needed = true;
            // A reset or a dead peer leaves an error on the socket even with no one reading.
            if (net::PendingError(c->handle) != 0) failed.push_back(Integer(index));
        }
    }
    if (!needed) checkTimer_.stop();
    for (Integer index : failed)
        if (Client* c = Find(index)) Fail(index, *c, true);
}

// ---- closing ----

void QtSocketArray::Close(Integer index) {
    Client* c = Find(index);
    if (c && c->handle != net::kNoHandle) Release(*c, false);
    // Closed elements at the end go: after a burst of connections has left, the array holds
    // what is connected. Events still on their way find no element and are dropped.
    while (!elements_.empty() && (!elements_.back() || elements_.back()->handle == net::kNoHandle))
        elements_.pop_back();
}

void QtSocketArray::Release(Client& c, bool abort) {
    // Our own close raises no event: the notifiers go first. What the kernel takes now is
    // sent; a client that cannot take the rest at once is reset rather than waited for.
    WatchFor(c, false, false);
    if (!abort && !c.gone && !c.jammed && c.Queued() > 0 && Flush(c) != 0) abort = true;
    if (abort || c.gone || c.jammed || c.Queued() > 0)
        net::Abort(c.handle);
    else
        net::Close(c.handle);
    c.handle = net::kNoHandle;
    std::string().swap(c.in);
    std::string().swap(c.out);
    c.outAt = 0;
}

}  // namespace qv
