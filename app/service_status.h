// The service manager's status line, read off what the server already shows: the connection
// count from status-bar panel 1, the switcher link from the serial port's open state. A view
// that passes everything on to the real one and watches on the way. Until the core reports
// its own state this is the one place the status line is fed from.
#pragma once

#include "components/qt_serial_port.h"
#include "components/service_notifier.h"
#include "core/ports.h"

namespace qv {

class ServiceStatusView final : public IView {
  public:
    ServiceStatusView(IView& inner, QtSerialPort& serial, ServiceNotifier& notifier);
    ~ServiceStatusView() override { QObject::disconnect(linkWatch_); }

    void Report(const std::string& title, const std::string& text) override {
        inner_.Report(title, text);
    }
    void HistoryRowAdded(const HistoryRow& row) override { inner_.HistoryRowAdded(row); }
    void HistoryFirstRowRemoved() override { inner_.HistoryFirstRowRemoved(); }
    void HistoryCleared() override { inner_.HistoryCleared(); }
    void SetLampColour(Lamp lamp, Long colour) override { inner_.SetLampColour(lamp, colour); }
    void SetCaption(Label label, const std::string& text) override {
        inner_.SetCaption(label, text);
    }
    void SetToolTip(Label label, const std::string& text) override {
        inner_.SetToolTip(label, text);
    }
    void SetStatusPanel(int panel, const std::string& text) override;
    void ApplyZOrder(Long insertAfter) override { inner_.ApplyZOrder(insertAfter); }
    // Shut-down ends with this: the manager hears that the service is stopping.
    void CloseAllWindows() override;

  private:
    void Publish();

    IView& inner_;
    QtSerialPort& serial_;
    ServiceNotifier& notifier_;
    int clients_ = 0;
    QMetaObject::Connection linkWatch_;
};

// The number in "Client Connections: 0003"; -1 when the text has none.
int ConnectionCountOfPanel(const std::string& text);

}  // namespace qv
