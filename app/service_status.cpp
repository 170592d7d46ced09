#include "app/service_status.h"

namespace qv {
namespace {
constexpr int kConnectionsPanel = 1;  // "Client Connections: 000N"
}

int ConnectionCountOfPanel(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return -1;
    int n = 0;
    bool digits = false;
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' && !digits) continue;
        if (c < '0' || c > '9' || n > 100000) return -1;
        n = n * 10 + (c - '0');
        digits = true;
    }
    return digits ? n : -1;
}

ServiceStatusView::ServiceStatusView(IView& inner, QtSerialPort& serial, ServiceNotifier& notifier)
    : inner_(inner), serial_(serial), notifier_(notifier) {
    linkWatch_ =
        QObject::connect(&serial_, &QtSerialPort::OpenChanged, &notifier_, [this] { Publish(); });
}

void ServiceStatusView::SetStatusPanel(int panel, const std::string& text) {
    inner_.SetStatusPanel(panel, text);
    if (panel != kConnectionsPanel) return;
    const int n = ConnectionCountOfPanel(text);
    if (n < 0) return;
    clients_ = n;
    Publish();
}

void ServiceStatusView::CloseAllWindows() {
    notifier_.Stopping();
    inner_.CloseAllWindows();
}

void ServiceStatusView::Publish() {
    notifier_.SetState(clients_, serial_.PortOpen());
}

}  // namespace qv
