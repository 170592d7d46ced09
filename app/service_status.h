// The service manager's status line, fed by the core: told when the connection count or the
// switcher link changes, and when shut-down begins.
#pragma once

#include "components/service_notifier.h"
#include "core/server.h"

namespace qv {

class ServiceStatus final : public IServerWatch {
  public:
    ServiceStatus(const Server& server, ServiceNotifier& notifier)
        : server_(server), notifier_(notifier) {}
    void StatusChanged() override {
        notifier_.SetState(server_.state().ConnectionCount,
                           server_.state().SerialLink == SerialLinkState::Open);
    }
    void ShuttingDown() override { notifier_.Stopping(); }

  private:
    const Server& server_;
    ServiceNotifier& notifier_;
};

}  // namespace qv
