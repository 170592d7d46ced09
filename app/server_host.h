// Builds the Qt adapters around one Server (which wires their events to its handlers). Both
// the headless front and the window use it.
#pragma once

#include <QMap>
#include <QString>
#include <memory>
#include <optional>

#include "app/service_status.h"
#include "components/address_filter.h"
#include "components/file_system.h"
#include "components/qt_clock.h"
#include "components/qt_serial_port.h"
#include "components/qt_socket_array.h"
#include "components/qt_timer.h"
#include "components/service_notifier.h"
#include "components/status_server.h"
#include "core/server.h"

namespace qv {

struct HostOptions {
    QString folder;                 // stands for the program's folder
    QMap<int, QString> comDevices;  // COM n -> device path
    QHostAddress listenAddress{QHostAddress::AnyIPv4};
    AddressFilter allow;                   // empty: every address
    long long loginTimeoutMs = 0;          // 0: never
    std::optional<StatusEndpoint> status;  // the status page, when asked for
    QStringList statusNames;               // host names it also answers to, lower case
};

class ServerHost {
  public:
    ServerHost(const HostOptions& options, IView& view);
    Server& server() { return *server_; }
    QtSocketArray& sockets() { return sockets_; }
    QtSerialPort& serial() { return serial_; }
    // The service manager hears READY once start-up (Start) has run; STOPPING comes from
    // the server when shut-down begins.
    void Started() { notifier_.Ready(); }
    // Starts the status page when the options ask for it, saying on stderr where it is bound if
    // that is reachable from other machines. False (with the reason on stderr) if it cannot
    // listen.
    bool StartStatusPage();
    StatusServer* status() { return status_.get(); }
    // Without a window and without --allow: clients from this machine only while no password
    // is set; a password set while running opens the door at once.
    void LocalOnlyUntilPassword();

  private:
    class PasswordDoor final : public IServerWatch {
      public:
        explicit PasswordDoor(ServerHost& host) : host_(host) {}
        void SettingsChanged() override { host_.UpdateDoor(); }

      private:
        ServerHost& host_;
    };
    void UpdateDoor();

    QtSocketArray sockets_;
    QtSerialPort serial_;
    ServiceNotifier notifier_;
    StdFileSystem files_;
    QtClock clock_;
    QtTimer led2_, led_, help_, decodeTcp_, cmndChk_, serialRetry_, loginWait_, linger_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<ServiceStatus> service_;  // the manager's status line, fed by the server
    std::optional<StatusEndpoint> statusAt_;
    QStringList statusNames_;
    std::unique_ptr<StatusServer> status_;  // reads server_, so it goes first
    bool allowGiven_ = false;
    bool doorWatched_ = false;
    PasswordDoor door_{*this};
};

}  // namespace qv
