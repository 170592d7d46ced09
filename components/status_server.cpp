#include "components/status_server.h"

#include <QAbstractHttpServer>
#include <QCryptographicHash>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include "base/version.h"

namespace qv {

namespace {

using Status = QHttpServerResponder::StatusCode;

// Texts of the core are 8-bit characters, shown as the window shows them.
QString Text(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

QString LampName(Long colour) {
    if (colour == kColourGreen) return QStringLiteral("green");
    if (colour == kColourRed) return QStringLiteral("red");
    return QStringLiteral("#%1").arg(colour, 6, 16, QLatin1Char('0'));  // 0x00BBGGRR
}

QString LinkName(SerialLinkState s) {
    switch (s) {
        case SerialLinkState::Open:
            return QStringLiteral("open");
        case SerialLinkState::Down:
            return QStringLiteral("down");
        case SerialLinkState::Closed:
            break;
    }
    return QStringLiteral("closed");
}

QString IsoDateTime(const LocalDateTime& t) {
    return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                             t.minute, t.second);
}

// The content of the first <tag>...</tag> of the page, for its Content-Security-Policy hash.
QByteArray ElementHash(const QByteArray& page, const QByteArray& tag) {
    const qsizetype open = page.indexOf("<" + tag + ">");
    const qsizetype close = page.indexOf("</" + tag + ">");
    if (open < 0 || close < open) return {};
    const qsizetype from = open + tag.size() + 2;
    return "'sha256-" +
           QCryptographicHash::hash(page.mid(from, close - from), QCryptographicHash::Sha256)
               .toBase64() +
           "'";
}

// Headers every answer carries: nothing is cached, sniffed, framed or sent elsewhere.
constexpr std::pair<const char*, const char*> kCommonHeaders[] = {
    {"Cache-Control", "no-store"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
};

}  // namespace

// ---- limits in front of Qt's HTTP server -------------------------------------------------

namespace {

// Rides on one connection (as the socket's child) and cuts it off when a request grows too big
// or takes too long. It sees each chunk before Qt's server does, since it connects first.
class RequestGuard final : public QObject {
    Q_OBJECT
  public:
    explicit RequestGuard(QTcpSocket* socket) : QObject(socket), socket_(socket) {
        // The socket keeps a request's bytes until it is whole; this bounds that buffer.
        socket->setReadBufferSize(2 * kMaxRequestBytes);
        connect(socket, &QTcpSocket::readyRead, this, &RequestGuard::OnReadyRead);
        deadline_.setSingleShot(true);
        connect(&deadline_, &QTimer::timeout, this, [this] { Cut(); });
        deadline_.start(kRequestDeadlineMs);
    }
    // An answer went out: the next request starts afresh.
    void Answered() {
        pending_ = 0;
        deadline_.start(kRequestDeadlineMs);
    }

  private:
    void OnReadyRead() {
        if (tooLarge_) {
            Drain();
            return;
        }
        pending_ += socket_->bytesAvailable();
        if (pending_ <= kMaxRequestBytes) return;
        tooLarge_ = true;
        Drain();
        socket_->write(
            "HTTP/1.1 413 Payload Too Large\r\nContent-Type: text/plain\r\n"
            "Content-Length: 18\r\nConnection: close\r\n\r\nRequest too large\n");
        // Open until the peer has read the answer and closes, or until the deadline: closing
        // with its request still arriving would reset the connection and lose the answer.
        deadline_.start(kRequestDeadlineMs);
    }
    // Throws away what has come (Qt's server holds it in a transaction until a request is
    // whole), so that Qt's server sees nothing more of this request.
    void Drain() {
        if (socket_->isTransactionStarted()) socket_->commitTransaction();
        socket_->read(socket_->bytesAvailable());
    }
    void Cut() {
        socket_->abort();
        socket_->deleteLater();
    }

    QTcpSocket* socket_;
    QTimer deadline_;
    qint64 pending_ = 0;
    bool tooLarge_ = false;
};

}  // namespace

class StatusServer::Listener final : public QTcpServer {
  public:
    using QTcpServer::QTcpServer;

  protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        // Sockets are this object's children until deleted; closing ones count too.
        if (findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly).size() > kMaxStatusConnections) {
            socket->abort();
            delete socket;
            return;
        }
        new RequestGuard(socket);
        addPendingConnection(socket);
    }
};

// ---- the HTTP side ----------------------------------------------------------------------

class StatusServer::Http final : public QAbstractHttpServer {
  public:
    explicit Http(StatusServer& owner) : owner_(owner) {
        QFile page(QStringLiteral(":/status/index.html"));
        if (page.open(QIODevice::ReadOnly)) page_ = page.readAll();
        // The page's own inline script and style and nothing else may run; it talks only to
        // this server.
        csp_ = "default-src 'none'; script-src " + ElementHash(page_, "script") + "; style-src " +
               ElementHash(page_, "style") +
               "; connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
               "frame-ancestors 'none'";
    }

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        if (auto* guard = socket->findChild<RequestGuard*>()) guard->Answered();
        QHttpServerResponder responder = makeResponder(request, socket);
        QByteArray host;
        int hosts = 0;
        for (const auto& [name, value] : request.headers()) {
            if (name.compare("host", Qt::CaseInsensitive) != 0) continue;
            host = value;
            ++hosts;
        }
        const HostVerdict verdict =
            hosts > 1 ? HostVerdict::Malformed
                      : JudgeHost(host, owner_.at_, owner_.names_, socket->localAddress());
        if (verdict == HostVerdict::Malformed) {
            Answer(responder, "Bad request: no Host, or more than one\n",
                   "text/plain; charset=utf-8", Status::BadRequest);
            return true;
        }
        if (verdict == HostVerdict::Foreign) {
            Answer(responder,
                   "Misdirected request: this server answers to its address, localhost and the "
                   "names given with --status-name\n",
                   "text/plain; charset=utf-8", Status::MisdirectedRequest);
            return true;
        }
        const QString path = request.url().path();
        const bool known = path == QLatin1String("/") || path == QLatin1String("/api/status") ||
                           path == QLatin1String("/metrics");
        if (!known) {
            Answer(responder, "Not found\n", "text/plain; charset=utf-8", Status::NotFound);
        } else if (request.method() != QHttpServerRequest::Method::Get) {
            Answer(responder, "Method not allowed\n", "text/plain; charset=utf-8",
                   Status::MethodNotAllowed, {"Allow", "GET"});
        } else if (path == QLatin1String("/")) {
            Answer(responder, page_, "text/html; charset=utf-8", Status::Ok,
                   {"Content-Security-Policy", csp_});
        } else if (path == QLatin1String("/api/status")) {
            Answer(responder, owner_.StatusBody(), "application/json", Status::Ok);
        } else {
            Answer(responder, owner_.MetricsText(), "text/plain; version=0.0.4; charset=utf-8",
                   Status::Ok);
        }
        return true;
    }
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override {
        QHttpServerResponder responder = makeResponder(request, socket);
        Answer(responder, "Not found\n", "text/plain; charset=utf-8", Status::NotFound);
    }

  private:
    static void Answer(QHttpServerResponder& r, const QByteArray& body, const QByteArray& type,
                       Status status, std::pair<QByteArray, QByteArray> extra = {}) {
        r.writeStatusLine(status);
        r.writeHeader("Content-Type", type);
        r.writeHeader("Content-Length", QByteArray::number(body.size()));
        for (const auto& [k, v] : kCommonHeaders) r.writeHeader(k, v);
        if (!extra.first.isEmpty()) r.writeHeader(extra.first, extra.second);
        r.writeBody(body);
    }

    StatusServer& owner_;
    QByteArray page_;
    QByteArray csp_;
};

// ---- the data ---------------------------------------------------------------------------

std::uint64_t AddressesSlowed(const Server& server) {
    return server.SlowedAddressCount();
}

StatusServer::StatusServer(Server& server, const ISocketArray& sockets, QObject* parent)
    : QObject(parent), server_(server), sockets_(sockets), http_(std::make_unique<Http>(*this)) {
    server_.recorder().AddSink(*this);
}

StatusServer::~StatusServer() {
    server_.recorder().RemoveSink(*this);
}

bool StatusServer::Listen(const StatusEndpoint& at, QString* error) {
    at_ = at;
    auto listener = std::make_unique<Listener>();
    if (!listener->listen(at.address, at.port)) {
        if (error) *error = listener->errorString();
        return false;
    }
    listener_ = listener.release();
    http_->bind(listener_);  // takes it as a child
    return true;
}

quint16 StatusServer::Port() const {
    return listener_ ? listener_->serverPort() : 0;
}

void StatusServer::Recorded(const ActivityRecord&) {
    snapshotStale_ = true;
}

QByteArray StatusServer::StatusBody() {
    const long long now = server_.clock().MonotonicMs();
    // A new record, a cleared list or a client coming or going shows at once; byte counts and
    // lamps within kSnapshotMaxAgeMs.
    const auto rows = server_.history().Rows().size();
    const Integer connections = server_.state().ConnectionCount;
    if (snapshotStale_ || snapshot_.isEmpty() || now - snapshotAtMs_ >= kSnapshotMaxAgeMs ||
        rows != snapshotRows_ || connections != snapshotConnections_) {
        snapshotRows_ = rows;
        snapshotConnections_ = connections;
        snapshot_ = QJsonDocument(StatusJson()).toJson(QJsonDocument::Compact);
        snapshotAtMs_ = now;
        snapshotStale_ = false;
    }
    return snapshot_;
}

QJsonObject StatusServer::StatusJson() const {
    const ServerState& st = server_.state();
    const Settings& v = server_.settings();
    const ServerCounters& n = st.Counters;

    QJsonArray clients;
    for (int i = 1; i <= server_.ClientSlotCount(); ++i) {
        if (!sockets_.Connected(i)) continue;
        const ClientSession& s = server_.session(i);
        clients.append(QJsonObject{
            {"slot", i},
            {"address", Text(s.Address)},
            {"loggedIn", s.LoggedIn},
            {"connectedAt", IsoDateTime(s.ConnectedAt)},
            {"connectedSeconds", double((server_.clock().MonotonicMs() - s.TakenAtMs) / 1000)},
            {"bytesIn", double(s.BytesIn)},
            {"bytesOut", double(s.BytesOut)},
            {"outputQueued", double(sockets_.QueuedOutput(i))},
        });
    }
    QJsonArray rows;
    for (const HistoryRow& r : server_.history().Rows())
        rows.append(
            QJsonObject{{"address", Text(r.address)}, {"description", Text(r.description)}});

    const long long uptimeMs =
        st.StartedAtMs > 0 ? server_.clock().MonotonicMs() - st.StartedAtMs : 0;
    return QJsonObject{
        {"version", QString::fromLatin1(kVersion)},
        {"uptimeSeconds", double(uptimeMs / 1000)},
        {"tcpPort", v.TcpPort},
        {"serialLink", QJsonObject{{"comPort", v.SerialPort},
                                   {"settings", Text(server_.SerialSettingsText())},
                                   {"state", LinkName(st.SerialLink)}}},
        {"lamps",
         QJsonObject{{"serial", LampName(st.SerialLamp)}, {"network", LampName(st.NetworkLamp)}}},
        {"statusBar", QJsonObject{{"connections", Text(st.StatusPanel[1])},
                                  {"logFile", Text(st.StatusPanel[2])},
                                  {"passThru", Text(st.StatusPanel[3])}}},
        {"connectedClients", st.ConnectionCount},
        {"localClientsOnly", localOnly_ && localOnly_()},
        {"counters", QJsonObject{{"logins", double(n.Logins)},
                                 {"failedLogins", double(n.FailedLogins)},
                                 {"addressesSlowed", double(AddressesSlowed(server_))},
                                 {"unitsForwarded", double(n.UnitsForwarded)},
                                 {"piecesRelayed", double(n.PiecesRelayed)},
                                 {"slowClientsPutOff", double(n.SlowClientsPutOff)},
                                 {"serialLinkLosses", double(n.SerialLinkLosses)}}},
        {"clients", clients},
        {"history", QJsonObject{{"maxRows", v.MaxListSize}, {"rows", rows}}},
    };
}

QByteArray StatusServer::MetricsText() const {
    const ServerState& st = server_.state();
    const ServerCounters& n = st.Counters;
    QByteArray out;
    const auto metric = [&out](const char* name, const char* type, const char* help,
                               std::uint64_t value) {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' +
               name + ' ' + QByteArray::number(qulonglong(value)) + '\n';
    };
    metric("quorvex_connected_clients", "gauge", "Clients connected now.",
           std::uint64_t(std::max<Integer>(st.ConnectionCount, 0)));
    metric("quorvex_serial_link_up", "gauge", "1 while the switcher's serial port is open.",
           st.SerialLink == SerialLinkState::Open ? 1 : 0);
    metric("quorvex_addresses_slowed", "gauge", "Client addresses whose logins are being slowed.",
           AddressesSlowed(server_));
    metric("quorvex_logins_total", "counter", "Clients logged in since start-up.", n.Logins);
    metric("quorvex_failed_logins_total", "counter", "Wrong passwords since start-up.",
           n.FailedLogins);
    metric("quorvex_units_forwarded_total", "counter",
           "Command units forwarded to the switcher since start-up.", n.UnitsForwarded);
    metric("quorvex_pieces_relayed_total", "counter",
           "Pieces of switcher output relayed to clients since start-up.", n.PiecesRelayed);
    metric("quorvex_slow_clients_put_off_total", "counter",
           "Clients disconnected for leaving too much output unread.", n.SlowClientsPutOff);
    metric("quorvex_serial_link_losses_total", "counter",
           "Times the switcher's serial port was lost.", n.SerialLinkLosses);
    const long long uptimeMs =
        st.StartedAtMs > 0 ? server_.clock().MonotonicMs() - st.StartedAtMs : 0;
    metric("quorvex_uptime_seconds", "gauge", "Seconds since start-up.",
           std::uint64_t(std::max(uptimeMs, 0LL) / 1000));
    out += QByteArray(
               "# HELP quorvex_build_info The running version.\n"
               "# TYPE quorvex_build_info gauge\nquorvex_build_info{version=\"") +
           kVersion + "\"} 1\n";
    return out;
}

// ---- the command line --------------------------------------------------------------------

bool ParseStatusEndpoint(const QString& text, StatusEndpoint& out) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) return false;
    QString host = text.left(colon);
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok, 10);
    if (!ok || port < 1 || port > 65535 || text.mid(colon + 1).startsWith(QLatin1Char('+')))
        return false;
    QHostAddress address;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
        if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return false;
    } else if (host == QLatin1String("localhost")) {
        address = QHostAddress(QHostAddress::LocalHost);
    } else if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv4Protocol) {
        return false;
    }
    out.address = address;
    out.port = static_cast<quint16>(port);
    return true;
}

namespace {

// The same address, an IPv4 one also in its IPv6-mapped form, whatever the IPv6 scope.
bool SameAddress(QHostAddress a, QHostAddress b) {
    a.setScopeId({});
    b.setScopeId({});
    return a.isEqual(b, QHostAddress::ConvertV4MappedToIPv4);
}

}  // namespace

HostVerdict JudgeHost(const QByteArray& host, const StatusEndpoint& at, const QStringList& names,
                      const QHostAddress& local) {
    const QByteArray value = host.trimmed();
    if (value.isEmpty()) return HostVerdict::Malformed;
    for (const char c : value)  // a name, an address, a port: nothing else (no list, no blank)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == '_' || c == ':' || c == '[' || c == ']' || c == '%'))
            return HostVerdict::Malformed;
    // "name", "name:port", "[v6]" or "[v6]:port".
    QByteArray name = value, port;
    if (value.startsWith('[')) {
        const qsizetype close = value.indexOf(']');
        if (close < 0) return HostVerdict::Malformed;
        name = value.mid(1, close - 1);
        const QByteArray rest = value.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(':')) return HostVerdict::Malformed;
        port = rest.mid(1);
        if (rest.startsWith(':') && port.isEmpty()) return HostVerdict::Malformed;
    } else if (const qsizetype colon = value.indexOf(':'); colon >= 0) {
        name = value.left(colon);
        port = value.mid(colon + 1);
        if (port.isEmpty()) return HostVerdict::Malformed;
    }
    for (const char c : port)
        if (c < '0' || c > '9') return HostVerdict::Malformed;
    if (port.size() > 5 || (!port.isEmpty() && port.toUInt() > 65535))
        return HostVerdict::Malformed;
    if (name.isEmpty()) return HostVerdict::Malformed;

    QHostAddress address;
    if (value.startsWith('[')) {
        if (!address.setAddress(QString::fromLatin1(name)) ||
            address.protocol() != QAbstractSocket::IPv6Protocol)
            return HostVerdict::Malformed;
    } else if (address.setAddress(QString::fromLatin1(name)) &&
               address.protocol() == QAbstractSocket::IPv4Protocol) {
        // an IPv4 address
    } else {
        address.clear();
    }
    // Listening on every address, the address is the one the connection came in on.
    const bool everyAddress = at.address == QHostAddress(QHostAddress::AnyIPv4) ||
                              at.address == QHostAddress(QHostAddress::AnyIPv6) ||
                              at.address == QHostAddress(QHostAddress::Any);
    if (!address.isNull())
        return (!everyAddress && SameAddress(address, at.address)) || SameAddress(address, local)
                   ? HostVerdict::Ours
                   : HostVerdict::Foreign;

    QString text = QString::fromLatin1(name).toLower();
    if (text.endsWith(QLatin1Char('.'))) text.chop(1);  // the name's absolute form
    if (text == QLatin1String("localhost") || names.contains(text)) return HostVerdict::Ours;
    return HostVerdict::Foreign;
}

bool IsHostName(const QString& text) {
    if (text.isEmpty() || text.size() > 253) return false;
    for (const QString& label : text.split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label)
            if (!(c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                  (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || c == QLatin1Char('-')))
                return false;
    }
    return true;
}

bool IsLoopbackOnly(const QHostAddress& address) {
    return address.isLoopback();
}

}  // namespace qv

#include "status_server.moc"
