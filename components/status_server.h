// The status page: a small read-only HTTP server beside the relay. It serves one page from the
// program's resources, the same data as JSON and as Prometheus metrics, all read from the
// server's own state and history at the moment of the request (no second copy).
//
//   GET /             the page (polls /api/status twice a second)
//   GET /api/status   JSON, documented in the README
//   GET /metrics      Prometheus text format
//   anything else     404 for an unknown path, 405 for another method on a known one
//
// Only requests addressed to this server are answered: a Host that is not the address the page
// listens on (or, listening on every address, the one the connection came in on), localhost or
// a name given with --status-name gets 421 and no data, a missing or malformed one 400. A web
// page elsewhere cannot read the status through a name of its own that it points at this
// machine (DNS rebinding): its requests carry that name.
//
// Qt's HTTP server parses the requests; in front of it each connection is held to a size and a
// time (Qt 6.4's server has no limits of its own): a request larger than kMaxRequestBytes gets
// 413 and the connection is closed, a connection that has not completed its request within
// kRequestDeadlineMs of opening (or of its previous answer) is cut, and no more than
// kMaxStatusConnections are served at once (more are closed at once). Everything runs on the
// one event loop; answers are small and the JSON is built at most once per kSnapshotMaxAgeMs,
// so a flood of requests costs the relay little.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "base/ports.h"
#include "core/server.h"

namespace qv {

constexpr qint64 kMaxRequestBytes = 16 * 1024;  // a browser's GET is well under 2 KiB
constexpr int kRequestDeadlineMs = 5000;
constexpr int kMaxStatusConnections = 16;
constexpr int kSnapshotMaxAgeMs = 100;  // the page polls every 500 ms

struct StatusEndpoint {
    QHostAddress address;
    quint16 port = 0;
};

// Whether a request's Host header names this server.
enum class HostVerdict { Ours, Foreign, Malformed };

// Judges the Host header's value (empty: none was sent) of a request that came in on the
// connection's local address, for a page listening at `at` that also answers to names (lower
// case).
HostVerdict JudgeHost(const QByteArray& host, const StatusEndpoint& at, const QStringList& names,
                      const QHostAddress& local);

// True for a host name (letters, digits, hyphens, dots) as --status-name takes it.
bool IsHostName(const QString& text);

// Reads "ADDRESS:PORT": an IPv4 address, an IPv6 address in brackets, or "localhost", and a
// port from 1 to 65535. False on anything else.
bool ParseStatusEndpoint(const QString& text, StatusEndpoint& out);

// True for addresses only this machine can reach (127.0.0.0/8, ::1).
bool IsLoopbackOnly(const QHostAddress& address);

// Logins being slowed by the login throttle. The throttle is not in the core yet; this is the
// one place that will read it.
std::uint64_t AddressesSlowed(const Server& server);

class StatusServer final : public QObject, private IRecordSink {
    Q_OBJECT
  public:
    // Reads server and sockets; both must outlive this object.
    StatusServer(Server& server, const ISocketArray& sockets, QObject* parent = nullptr);
    ~StatusServer() override;
    // Tells whether clients are taken from this machine only (for want of a password).
    void LocalOnlyFrom(std::function<bool()> localOnly) { localOnly_ = std::move(localOnly); }

    // Starts listening; false with the reason in error.
    bool Listen(const StatusEndpoint& at, QString* error);
    // Host names (lower case) the page answers to beside its address and localhost.
    void AnswerTo(const QStringList& names) { names_ = names; }
    quint16 Port() const;

    // What /api/status and /metrics answer now.
    QJsonObject StatusJson() const;
    QByteArray MetricsText() const;

  private:
    class Http;
    class Listener;
    void Recorded(const ActivityRecord& record) override;
    QByteArray StatusBody();

    Server& server_;
    StatusEndpoint at_;
    QStringList names_;
    const ISocketArray& sockets_;
    std::function<bool()> localOnly_;
    std::unique_ptr<Http> http_;
    Listener* listener_ = nullptr;  // owned by http_
    QByteArray snapshot_;           // the last JSON answer
    long long snapshotAtMs_ = 0;
    bool snapshotStale_ = true;
    std::size_t snapshotRows_ = 0;
    Integer snapshotConnections_ = 0;
};

}  // namespace qv
