// The service manager's status line, fed by the core: told when the connection count or the
// switcher link changes, and when shut-down begins.
#pragma once

#include "components/qt_socket_array.h"
#include "components/service_notifier.h"
#include "core/server.h"

namespace qv {

class ServiceStatus final : public IServerWatch {
  public:
    ServiceStatus(const Server& server, ServiceNotifier& notifier, const QtSocketArray& sockets)
        : server_(server), notifier_(notifier), sockets_(sockets) {}
    void StatusChanged() override {
        notifier_.SetState(server_.state().ConnectionCount,
                           server_.state().SerialLink == SerialLinkState::Open,
                           sockets_.LocalOnly() && sockets_.LocalOnlyRefusals() > 0);
    }
    // Once a client from another machine was refused for want of a password, the line says so
    // until a password is set.
    void SettingsChanged() override { StatusChanged(); }
    void ShuttingDown() override { notifier_.Stopping(); }

  private:
    const Server& server_;
    ServiceNotifier& notifier_;
    const QtSocketArray& sockets_;
};

}  // namespace qv
