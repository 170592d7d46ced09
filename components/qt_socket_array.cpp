#include "components/qt_socket_array.h"

#include <QHostAddress>
#include <QTimer>
#include <cstdio>

#include "records/settings.h"

namespace qv {
namespace {

Long ErrorNumber(QAbstractSocket::SocketError e) {
    switch (e) {
        case QAbstractSocket::AddressInUseError:
            return kErrAddressInUse;
        case QAbstractSocket::SocketAccessError:
            return kErrSocketAccess;
        case QAbstractSocket::SocketAddressNotAvailableError:
            return kErrAddressNotAvailable;
        case QAbstractSocket::SocketResourceError:
            return kErrNoBuffers;
        case QAbstractSocket::RemoteHostClosedError:
            return kErrConnectionReset;
        case QAbstractSocket::NetworkError:
            return kErrNetworkDown;
        default:
            return kErrSocket;
    }
}

ComponentError SocketError(QAbstractSocket::SocketError e, const QString& text) {
    return ComponentError(ErrorNumber(e), text.toStdString());
}

}  // namespace

QtSocketArray::QtSocketArray(QObject* parent) : QObject(parent) {
    connect(&server_, &QTcpServer::newConnection, this, &QtSocketArray::OnNewConnection);
}

QtSocketArray::~QtSocketArray() {
    for (auto& [i, e] : elements_)
        if (e.socket) Release(e.socket, true);
    for (QTcpSocket* s : std::as_const(pending_)) Release(s, true);
}

void QtSocketArray::Listen(Long port) {
    if (port < 0 || port > kMaxTcpPort)
        throw ComponentError(kErrInvalidValue, "Invalid property value");
    if (!server_.listen(listenAddress_, static_cast<quint16>(port)))
        throw SocketError(server_.serverError(), server_.errorString());
}

void QtSocketArray::MoveListener(Long port) {
    server_.close();
    Listen(port);
}

void QtSocketArray::CloseListener() {
    server_.close();
}
bool QtSocketArray::Listening() const {
    return server_.isListening();
}

void QtSocketArray::CreateElement(Integer index) {
    elements_[index];
}

void QtSocketArray::RemoveElement(Integer index) {
    auto it = elements_.find(index);
    if (it == elements_.end()) return;
    if (it->second.socket) Release(it->second.socket, false);
    elements_.erase(it);
}

void QtSocketArray::OnNewConnection() {
    while (server_.hasPendingConnections()) {
        QTcpSocket* s = server_.nextPendingConnection();
        if (!s) break;
        if (!filter_.Empty() && !filter_.Allows(s->peerAddress())) {
            if (!clock_.isValid()) clock_.start();
            if (filter_.ShouldSay(s->peerAddress(), clock_.elapsed()))
                std::fprintf(stderr, "quorvex: refused a connection from %s (not in --allow)\n",
                             qPrintable(Unmapped(s->peerAddress()).toString()));
            Release(s, true);
            continue;
        }
        nextRequestId_ = nextRequestId_ == kIntegerMax ? 1 : nextRequestId_ + 1;
        const Long id = nextRequestId_;
        pending_.insert(id, s);
        if (events_) events_->ConnectionRequest(id);
        // A request the server neither took nor refused is not left hanging.
        if (pending_.contains(id)) Refuse(id);
    }
}

void QtSocketArray::Accept(Integer index, Long requestId) {
    QTcpSocket* s = pending_.take(requestId);
    if (!s) throw ComponentError(kErrInvalidSocketHandle, "Invalid socket handle");
    Element& e = elements_[index];
    if (e.socket) Release(e.socket, true);
    e.socket = s;
    e.open = true;
    QHostAddress peer = s->peerAddress();
    bool mapped = false;
    const quint32 v4 = peer.toIPv4Address(&mapped);
    if (mapped) peer = QHostAddress(v4);
    e.peer = peer.toString().toStdString();
    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(s, &QTcpSocket::readyRead, this, [this, index] {
        if (events_) events_->DataArrival(index);
    });
    connect(s, &QTcpSocket::disconnected, this, [this, index, s] {
        auto it = elements_.find(index);
        if (it != elements_.end() && it->second.socket == s && it->second.open && events_)
            events_->Disconnected(index);
    });
    // Text or a hang-up that came before the take-over is raised from the event loop.
    if (s->bytesAvailable() > 0 || s->state() != QAbstractSocket::ConnectedState) {
        QPointer<QTcpSocket> guard(s);
        QTimer::singleShot(0, this, [this, index, guard] {
            auto it = elements_.find(index);
            if (!guard || it == elements_.end() || it->second.socket != guard || !it->second.open ||
                !events_)
                return;
            if (guard->bytesAvailable() > 0) events_->DataArrival(index);
            if (guard && Connected(index) && elements_[index].socket == guard &&
                guard->state() != QAbstractSocket::ConnectedState && events_)
                events_->Disconnected(index);
        });
    }
}

void QtSocketArray::Refuse(Long requestId) {
    if (QTcpSocket* s = pending_.take(requestId)) Release(s, true);
}

bool QtSocketArray::Connected(Integer index) const {
    auto it = elements_.find(index);
    return it != elements_.end() && it->second.open && it->second.socket;
}

std::string QtSocketArray::PeerAddress(Integer index) const {
    auto it = elements_.find(index);
    return it == elements_.end() ? std::string() : it->second.peer;
}

std::string QtSocketArray::ReadAll(Integer index) {
    auto it = elements_.find(index);
    if (it == elements_.end() || !it->second.socket) return {};
    const QByteArray data = it->second.socket->readAll();
    return std::string(data.constData(), static_cast<std::size_t>(data.size()));
}

ISocketArray::WriteResult QtSocketArray::Write(Integer index, std::string_view text) {
    auto it = elements_.find(index);
    if (it == elements_.end() || !it->second.open || !it->second.socket) return WriteResult::Failed;
    QTcpSocket* s = it->second.socket;
    if (s->bytesToWrite() + static_cast<qint64>(text.size()) > kPendingOutputCap)
        return WriteResult::Overflow;
    if (s->write(text.data(), static_cast<qint64>(text.size())) < 0) return WriteResult::Failed;
    return WriteResult::Ok;
}

std::size_t QtSocketArray::QueuedOutput(Integer index) const {
    auto it = elements_.find(index);
    if (it == elements_.end() || !it->second.socket) return 0;
    return static_cast<std::size_t>(it->second.socket->bytesToWrite());
}

void QtSocketArray::Close(Integer index) {
    auto it = elements_.find(index);
    if (it == elements_.end()) return;
    it->second.open = false;
    if (QTcpSocket* s = it->second.socket) {
        it->second.socket = nullptr;
        Release(s, s->bytesToWrite() >= kPendingOutputCap);
    }
}

void QtSocketArray::Release(QTcpSocket* s, bool abort) {
    // Our own close raises no event: the socket is cut loose from this object first.
    s->disconnect(this);
    if (abort || s->state() == QAbstractSocket::UnconnectedState) {
        s->abort();
        s->deleteLater();
        return;
    }
    connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    s->disconnectFromHost();
    if (s->state() != QAbstractSocket::UnconnectedState) {
        QTimer::singleShot(kCloseGraceMs, s, [s] {
            s->abort();
            s->deleteLater();
        });
    }
}

}  // namespace qv
