// Builds the Qt adapters around one Server and wires the timers to its handlers. Both the
// headless front and the window use it.
#pragma once

#include <QMap>
#include <QString>
#include <memory>

#include "app/service_status.h"
#include "components/file_system.h"
#include "components/qt_clock.h"
#include "components/qt_serial_port.h"
#include "components/qt_socket_array.h"
#include "components/qt_timer.h"
#include "components/service_notifier.h"
#include "core/server.h"

namespace qv {

struct HostOptions {
    QString folder;                 // stands for the program's folder
    QMap<int, QString> comDevices;  // COM n -> device path
};

class ServerHost {
  public:
    ServerHost(const HostOptions& options, IView& view);
    Server& server() { return *server_; }
    QtSocketArray& sockets() { return sockets_; }
    QtSerialPort& serial() { return serial_; }
    // The service manager hears READY once start-up (Form_Load) has run, and STOPPING when
    // shut-down begins; shut-down through Form_Unload says it by itself.
    void Started() { notifier_.Ready(); }
    void Stopping() { notifier_.Stopping(); }

  private:
    QtSocketArray sockets_;
    QtSerialPort serial_;
    ServiceNotifier notifier_;
    ServiceStatusView view_;  // the view the server sees: the real one, watched
    StdFileSystem files_;
    QtClock clock_;
    QtTimer led2_, led_, help_, decodeTcp_, cmndChk_;
    std::unique_ptr<Server> server_;
};

}  // namespace qv
