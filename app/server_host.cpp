#include "app/server_host.h"

#include <QDir>

namespace qv {

ServerHost::ServerHost(const HostOptions& options, IView& view)
    : serial_([devices = options.comDevices](Integer n) {
          return devices.contains(n) ? devices.value(n) : DefaultSerialDevice(n);
      }),
      view_(view, serial_, notifier_) {
    const QString folder = QDir::toNativeSeparators(QDir(options.folder).absolutePath());
    server_ = std::make_unique<Server>(Ports{sockets_, serial_, files_, clock_, view_,
                                             Timers{led2_, led_, help_, decodeTcp_, cmndChk_}},
                                       folder.toStdString(), QDir::separator().toLatin1());
    Server& s = *server_;
    led2_.SetTick([&s] { s.tmrLed2_Timer(); });
    led_.SetTick([&s] { s.tmrLed_Timer(); });
    help_.SetTick([&s] { s.tmrHelp_Timer(); });
    decodeTcp_.SetTick([&s] { s.tmrDecodeTcp_Timer(); });
    cmndChk_.SetTick([&s] { s.tmrCmndChk_Timer(); });
}

}  // namespace qv
