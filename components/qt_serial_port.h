// The serial control over QSerialPort. COM port numbers are mapped to devices by the caller
// (e.g. COM 1 is /dev/ttyS0, or whatever --com 1=DEVICE says).
#pragma once

#include <QObject>
#include <QSerialPort>
#include <functional>

#include "base/ports.h"

namespace qv {

// Output queued for the switcher beyond this is refused (about 68 s of line time at 9600 baud).
constexpr qint64 kSerialOutputCap = 64 * 1024;

struct SerialSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Parses "9600,n,8,1"; throws ComponentError (invalid property value) on a bad text.
SerialSettings ParseSerialSettings(const std::string& text);

class QtSerialPort final : public QObject, public ISerialPort {
    Q_OBJECT
  public:
    using DeviceMap = std::function<QString(Integer commPort)>;
    explicit QtSerialPort(DeviceMap devices, QObject* parent = nullptr);

    void SetEvents(ISerialEvents* events) override { events_ = events; }
    std::string Settings() const override { return settings_; }
    void SetSettings(const std::string& settings) override;
    Integer CommPort() const override { return commPort_; }
    void SetCommPort(Integer port) override;
    bool PortOpen() const override { return port_.isOpen(); }
    void SetPortOpen(bool open) override;
    Long InBufferCount() const override;
    std::string Input() override;
    void Output(char c) override;

  private:
    void OnError(QSerialPort::SerialPortError error);

    DeviceMap devices_;
    ISerialEvents* events_ = nullptr;
    QSerialPort port_;
    std::string settings_ = "9600,n,8,1";
    SerialSettings parsed_;
    Integer commPort_ = 1;
};

// The default device of COM n on this platform.
QString DefaultSerialDevice(Integer commPort);

}  // namespace qv
