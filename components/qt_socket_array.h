// The socket control array over QTcpServer / QTcpSocket: element 0 listens on IPv4, elements
// 1.. carry one client each. Events are raised from the event loop, never from inside a call.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <map>

#include "base/ports.h"
#include "components/address_filter.h"

namespace qv {

// Pending output a client may leave unread before it is put off.
constexpr qint64 kPendingOutputCap = 1024 * 1024;
// How long a closed client may take to drain its output before the connection is cut.
constexpr int kCloseGraceMs = 2000;

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
    std::string ReadAll(Integer index) override;
    WriteResult Write(Integer index, std::string_view text) override;
    std::size_t QueuedOutput(Integer index) const override;
    void Close(Integer index) override;

    quint16 ListeningPort() const { return server_.serverPort(); }
    // Where the listener takes connections (every IPv4 address unless set).
    void SetListenAddress(const QHostAddress& address) { listenAddress_ = address; }
    // Connections from outside these ranges are closed at once, unseen by the server.
    void SetAddressFilter(const AddressFilter& filter) { filter_ = filter; }

  private:
    struct Element {
        QPointer<QTcpSocket> socket;
        bool open = false;
        std::string peer;
    };
    void OnNewConnection();
    void Release(QTcpSocket* socket, bool abort);

    ISocketEvents* events_ = nullptr;
    QTcpServer server_;
    std::map<Integer, Element> elements_;
    QHash<Long, QTcpSocket*> pending_;
    Long nextRequestId_ = 0;
    QHostAddress listenAddress_{QHostAddress::AnyIPv4};
    AddressFilter filter_;
    QElapsedTimer clock_;
};

}  // namespace qv
