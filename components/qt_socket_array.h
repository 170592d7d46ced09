// The socket control array over the platform's own sockets: element 0 listens (every IPv4
// address unless told otherwise) under a QSocketNotifier, elements 1.. carry one client each,
// watched together through a SocketPoller. Events are raised from the event loop, never from
// inside a call.
//
// The array owns its descriptors because QTcpSocket takes the end of a client's sending side
// for the end of the connection; a client that half-closes (sends its command, then shuts its
// side) must still get its answer and the switcher's output after it.
//
// A client connection goes through these states:
//   open         reading and writing; output the kernel would not take waits in the queue
//   input ended  the client shut its sending side (InputEnded raised); output still goes to
//                it, and only an error (reset, dead peer, a write that fails) ends it from
//                its side; the server closes it once its answers are done
//   gone         the connection failed; the server is told once through Disconnected
//   closed       the server closed it; no event
// Jammed clients (no output taken for stallMs while some waits, or queued output over the
// cap) are put off through the server's own disconnect path and reset, so nothing stays
// queued in the kernel behind a zero window.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "base/ports.h"
#include "components/address_filter.h"
#include "components/native_socket.h"
#include "components/socket_poller.h"

namespace qv {

// Pending output a client may leave unread before it is put off.
constexpr std::size_t kPendingOutputCap = 1024 * 1024;
// A client that takes no output for this long while some waits for it is put off.
constexpr int kStallTimeoutMs = 30000;
// The stall check runs this many times per stall timeout.
constexpr int kStallChecksPerTimeout = 10;
// After output to a client whose input ended, a check this much later finds the reset of a
// nearby client that has gone altogether; farther ones are found by the regular checks.
constexpr int kReplyCheckMs = 100;
// Out of descriptors: how long accepting rests before it is tried again.
constexpr int kAcceptPauseMs = 250;
// Connections taken per wake-up of the listener, so a flood does not starve served clients.
constexpr int kAcceptsPerTurn = 64;
// Bytes read from a client per wake-up; more waiting wakes the loop again.
constexpr std::size_t kReadChunk = 16 * 1024;
// Gathering under a stream: runs of output less than kStreamGapMs apart make a stream. While
// one goes on, the end of a fan-out to every client is followed by kFanOutShareInverse times its
// own cost before the next (so fan-outs take at most about a ninth of the time), but never by
// more than kGatherMaxMs; a wait shorter than kGatherMinNs is not worth a timer. The pause runs
// from the fan-out's end: from its start, a dear fan-out would leave little pause after it.
constexpr int kStreamGapMs = 2;
constexpr qint64 kFanOutShareInverse = 8;
constexpr int kGatherMaxMs = 6;
constexpr qint64 kNsPerMs = 1000000;
constexpr qint64 kGatherMinNs = kNsPerMs / 2;

// Intervals the array works with; tests shorten them.
struct SocketTiming {
    int stallMs = kStallTimeoutMs;
    int acceptPauseMs = kAcceptPauseMs;
    int streamGapMs = kStreamGapMs;
    qint64 fanOutShareInverse = kFanOutShareInverse;
    int gatherMaxMs = kGatherMaxMs;
    net::KeepAlive keepAlive;  // first probe 30 s, every 10 s, 3 probes; user timeout 60 s
};

class QtSocketArray final : public QObject, public ISocketArray {
    Q_OBJECT
  public:
    explicit QtSocketArray(QObject* parent = nullptr);
    ~QtSocketArray() override;

    void SetEvents(ISocketEvents* events) override { events_ = events; }
    void Listen(Long port) override;
    void MoveListener(Long port) override;
    void CloseListener() override;
    bool Listening() const override;
    void CreateElement(Integer index) override;
    void RemoveElement(Integer index) override;
    void Accept(Integer index, Long requestId) override;
    void Refuse(Long requestId) override;
    bool Connected(Integer index) const override;
    std::string PeerAddress(Integer index) const override;
    std::string ReadAll(Integer index, std::size_t most) override;
    void SetReading(Integer index, bool on) override;
    std::string RequestAddress(Long requestId) const override;
    WriteResult Write(Integer index, std::string_view text) override;
    std::size_t QueuedOutput(Integer index) const override;
    void HoldOutput() override { holding_ = true; }
    void SendHeldOutput() override;
    void Close(Integer index) override;

    quint16 ListeningPort() const;
    // Applies to connections taken from now on (intervals of the running checks at once).
    void SetTiming(const SocketTiming& timing);
    const SocketTiming& Timing() const { return timing_; }
    // The client's descriptor, for tests that look at its options; kNoHandle if none.
    net::Handle NativeHandle(Integer index) const;
    // True while accepting rests for lack of descriptors.
    bool AcceptPaused() const { return pauseTimer_.isActive(); }
    // Where the listener takes connections, from the next Listen on.
    void SetListenAddress(const QHostAddress& address);
    // Connections from outside these ranges are closed at once, unseen by the server.
    void SetAddressFilter(const AddressFilter& filter) { filter_ = filter; }
    // With no --allow ranges: true takes clients from this machine only (loopback) and refuses
    // others as the ranges refuse them.
    void SetLocalOnly(bool on) { localOnly_ = on; }
    bool LocalOnly() const { return localOnly_ && filter_.Empty(); }
    // Clients from other machines refused for that so far, and who is told of each.
    long long LocalOnlyRefusals() const { return localOnlyRefusals_; }
    void OnLocalOnlyRefusal(std::function<void()> told) { localOnlyRefused_ = std::move(told); }

  private:
    // Notifiers may go while they signal: they are disabled and deleted from the event loop.
    struct NotifierDeleter {
        void operator()(QSocketNotifier* n) const;
    };
    using Notifier = std::unique_ptr<QSocketNotifier, NotifierDeleter>;
    struct Client {
        Long id = 0;  // the request it was taken from: tells a later connection in the slot apart
        std::uint64_t key = 0;  // its index and id, as the poller hands them back
        net::Handle handle = net::kNoHandle;
        bool reading = false;  // watched for input: off once it ended or the connection failed
        bool paused = false;   // the server takes no more input for now
        bool writing = false;  // watched for room: on only while output waits
        std::string in;        // read, not yet taken by ReadAll
        std::string out;       // waiting for the kernel, from outAt
        std::size_t outAt = 0;
        qint64 lastProgressMs = 0;  // when queued output last moved (or began to wait)
        bool moreWaiting = false;   // the last read filled its chunk
        bool inputEnded = false;
        bool gone = false;    // failed; Disconnected raised
        bool jammed = false;  // put off for taking no output: reset on close
        bool held = false;    // its queue is output held back, not yet offered to the kernel
        std::string peer;
        std::size_t Queued() const { return out.size() - outAt; }
    };

    void OnAcceptable();
    void ResumeAccepting();
    void OnReadable(Integer index);
    bool ReadSome(Integer index, Client& c, bool raiseNow);
    void OnWritable(Integer index);
    // Offers every client's held output to the kernel, and times the next fan-out.
    void FanOut();
    int Flush(Client& c);
    // Output waits for c: the poller wakes the array when there is room.
    void WaitForRoom(Client& c);
    void Fail(Integer index, Client& c, bool raiseNow);
    void RaiseInputEnded(Integer index, const Client& c, bool raiseNow);
    // Input read but not taken raises DataArrival again, from the event loop.
    void OfferRestLater(Integer index, const Client& c);
    // Whether c is watched for input: not once it ended, not while paused.
    static bool WantsInput(const Client& c) { return !c.inputEnded && !c.paused; }
    void Watch();
    void CheckClients();
    void Release(Client& c, bool abort);
    Notifier MakeNotifier(net::Handle h, QSocketNotifier::Type type);
    Client* Find(Integer index);
    const Client* Find(Integer index) const;
    std::unique_ptr<Client>& Element(Integer index);  // made room for
    void OnReady(std::uint64_t key, bool readable, bool writable);
    // What the poller watches c for; changed only when it differs.
    void WatchFor(Client& c, bool read, bool write);

    ISocketEvents* events_ = nullptr;
    SocketTiming timing_;
    net::Handle listener_ = net::kNoHandle;
    Notifier listenNotifier_;
    QTimer pauseTimer_;
    QTimer checkTimer_;  // runs while some client has output waiting or its input ended
    QTimer replyCheck_;
    QElapsedTimer clock_;
    SocketPoller poller_;
    std::vector<std::unique_ptr<Client>> elements_;  // by index; empty entries are no element
    struct Pending {
        net::Handle handle;
        std::string peer;
    };
    QHash<Long, Pending> pending_;
    Long nextRequestId_ = 0;
    net::ListenAddress listenAddress_;
    bool holding_ = false;
    std::vector<Integer> held_;  // clients with output held
    QTimer gatherTimer_;         // runs while output gathers for the next fan-out
    qint64 lastRunNs_ = std::numeric_limits<qint64>::min() / 2;  // long before any run
    qint64 nextFanOutNs_ = 0;
    AddressFilter filter_;
    bool localOnly_ = false;
    long long localOnlyRefusals_ = 0;
    std::function<void()> localOnlyRefused_;
};

}  // namespace qv
