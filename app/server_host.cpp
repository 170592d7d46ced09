#include "app/server_host.h"

#include <QDir>
#include <cstdio>

namespace qv {

ServerHost::ServerHost(const HostOptions& options, IView& view)
    : serial_([devices = options.comDevices](Integer n) {
          return devices.contains(n) ? devices.value(n) : DefaultSerialDevice(n);
      }) {
    const QString folder = QDir::toNativeSeparators(QDir(options.folder).absolutePath());
    server_ = std::make_unique<Server>(
        Ports{sockets_, serial_, files_, clock_, view,
              Timers{led2_, led_, help_, decodeTcp_, cmndChk_, serialRetry_, loginWait_, linger_}},
        folder.toStdString(), QDir::separator().toLatin1());
    server_->SetLoginTimeout(options.loginTimeoutMs);
    sockets_.SetListenAddress(options.listenAddress);
    sockets_.SetAddressFilter(options.allow);
    allowGiven_ = !options.allow.Empty();
    service_ = std::make_unique<ServiceStatus>(*server_, notifier_, sockets_);
    sockets_.OnLocalOnlyRefusal([this] { service_->StatusChanged(); });
    server_->AddWatch(*service_);
    statusAt_ = options.status;
    statusNames_ = options.statusNames;
}

void ServerHost::LocalOnlyUntilPassword() {
    if (allowGiven_) return;  // the ranges given say who may come
    if (!doorWatched_) {
        doorWatched_ = true;
        server_->AddWatch(door_);
    }
    UpdateDoor();
}

void ServerHost::UpdateDoor() {
    sockets_.SetLocalOnly(!allowGiven_ && server_->settings().Password.empty());
    service_->StatusChanged();
}

bool ServerHost::StartStatusPage() {
    if (!statusAt_) return true;
    status_ = std::make_unique<StatusServer>(*server_, sockets_);
    status_->LocalOnlyFrom([this] { return sockets_.LocalOnly(); });
    status_->AnswerTo(statusNames_);
    QString error;
    const QString where = statusAt_->address.protocol() == QAbstractSocket::IPv6Protocol
                              ? QStringLiteral("[%1]:%2")
                              : QStringLiteral("%1:%2");
    const QString at = where.arg(statusAt_->address.toString()).arg(statusAt_->port);
    if (!status_->Listen(*statusAt_, &error)) {
        std::fprintf(stderr, "quorvex: --status cannot listen on %s: %s\n", qPrintable(at),
                     qPrintable(error));
        status_.reset();
        return false;
    }
    if (!IsLoopbackOnly(statusAt_->address))
        std::fprintf(stderr,
                     "quorvex: the status page on %s is not bound to loopback: other machines "
                     "can read it\n",
                     qPrintable(at));
    return true;
}

}  // namespace qv
