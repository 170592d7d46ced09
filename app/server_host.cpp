#include "app/server_host.h"

#include <QDir>

namespace qv {

ServerHost::ServerHost(const HostOptions& options, IView& view)
    : serial_([devices = options.comDevices](Integer n) {
          return devices.contains(n) ? devices.value(n) : DefaultSerialDevice(n);
      }) {
    const QString folder = QDir::toNativeSeparators(QDir(options.folder).absolutePath());
    server_ = std::make_unique<Server>(
        Ports{sockets_, serial_, files_, clock_, view,
              Timers{led2_, led_, help_, decodeTcp_, cmndChk_, serialRetry_, loginWait_}},
        folder.toStdString(), QDir::separator().toLatin1());
    server_->SetLoginTimeout(options.loginTimeoutMs);
    sockets_.SetListenAddress(options.listenAddress);
    sockets_.SetAddressFilter(options.allow);
    status_ = std::make_unique<ServiceStatus>(*server_, notifier_);
    server_->AddWatch(*status_);
}

}  // namespace qv
