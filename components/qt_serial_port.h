// The serial control over QSerialPort. COM port numbers are mapped to devices by the caller
// (e.g. COM 1 is /dev/ttyS0, or whatever --com 1=DEVICE says).
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QSerialPort>
#include <functional>
#include <optional>

#include "base/ports.h"

class QSocketNotifier;

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

// Besides the serial control's members: the port closes itself when its device goes away (a
// read error, a hang-up, the device node removed) and raises PortLost once, with the
// platform's reason.
class QtSerialPort final : public QObject, public ISerialPort {
    Q_OBJECT
  public:
    using DeviceMap = std::function<QString(Integer commPort)>;
    explicit QtSerialPort(DeviceMap devices, QObject* parent = nullptr);
    ~QtSerialPort() override { StopWatching(); }

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
    std::size_t OutputRoom() const override;
    void SendOutput() override;

  signals:
    // The port was opened, closed, or lost.
    void OpenChanged(bool open);

  private:
    void OnError(QSerialPort::SerialPortError error);
    void OnHangUpWatch();
    void WatchForHangUp();
    void StopWatching();
    // Why the open device is gone, or nothing while it is still there.
    std::optional<std::string> LossReason() const;
    void Lose(const std::string& reason);
    // Watches the folder of the device that is not there, to say when it may be back.
    void WatchForReturn();
    void OnFolderChanged();

    DeviceMap devices_;
    ISerialEvents* events_ = nullptr;
    QSerialPort port_;
    std::string settings_ = "9600,n,8,1";
    SerialSettings parsed_;
    Integer commPort_ = 1;
    QString device_;  // the path opened last, as given (a symlink stays a symlink)
    // Qt reads a hung-up line as endless empty reads and says nothing; a second descriptor
    // of the same device, watched on its own, sees the hang-up.
    int watchFd_ = -1;
    QSocketNotifier* watch_ = nullptr;
    QFileSystemWatcher* returnWatch_ = nullptr;
    bool sending_ = false;  // in SendOutput: a failure found there waits for the event loop
};

// The default device of COM n on this platform.
QString DefaultSerialDevice(Integer commPort);

}  // namespace qv
