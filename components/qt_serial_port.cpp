#include "components/qt_serial_port.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace qv {
namespace {

#ifdef Q_OS_UNIX
// The reason given when the device node itself is gone (the adapter was unplugged).
constexpr const char* kDeviceRemoved = "Device removed";
// The reason given for a hang-up the platform names no error for.
constexpr const char* kDeviceHungUp = "Device hung up";
#endif

[[noreturn]] void InvalidSettings() {
    throw ComponentError(kErrInvalidValue, "Invalid property value");
}

}  // namespace

QString DefaultSerialDevice(Integer commPort) {
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(commPort);
#else
    return QStringLiteral("/dev/ttyS%1").arg(commPort - 1);
#endif
}

SerialSettings ParseSerialSettings(const std::string& text) {
    const QStringList parts = QString::fromStdString(text).split(QLatin1Char(','));
    if (parts.size() != 4) InvalidSettings();
    SerialSettings s;
    bool ok = false;
    s.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0) InvalidSettings();
    const QString parity = parts[1].trimmed().toLower();
    if (parity == QLatin1String("n"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("e"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("o"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("m"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("s"))
        s.parity = QSerialPort::SpaceParity;
    else
        InvalidSettings();
    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8) InvalidSettings();
    s.dataBits = static_cast<QSerialPort::DataBits>(bits);
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        InvalidSettings();
    return s;
}

QtSerialPort::QtSerialPort(DeviceMap devices, QObject* parent)
    : QObject(parent), devices_(std::move(devices)) {
    connect(&port_, &QSerialPort::readyRead, this, [this] {
        if (events_) events_->OnComm(kCommEventReceive);
    });
    connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialPort::OnError);
}

void QtSerialPort::SetSettings(const std::string& settings) {
    const SerialSettings parsed = ParseSerialSettings(settings);
    if (port_.isOpen() &&
        !(port_.setBaudRate(parsed.baud) && port_.setParity(parsed.parity) &&
          port_.setDataBits(parsed.dataBits) && port_.setStopBits(parsed.stopBits)))
        InvalidSettings();
    parsed_ = parsed;
    settings_ = settings;
}

void QtSerialPort::SetCommPort(Integer port) {
    if (port < 1) throw ComponentError(kErrInvalidPort, "Invalid Port Number");
    if (port_.isOpen()) throw ComponentError(kErrPortAlreadyOpen, "Port already open");
    commPort_ = port;
}

void QtSerialPort::SetPortOpen(bool open) {
    if (!open) {
        if (!port_.isOpen()) return;
        StopWatching();
        port_.close();
        emit OpenChanged(false);
        return;
    }
    if (port_.isOpen()) throw ComponentError(kErrPortAlreadyOpen, "Port already open");
    device_ = devices_ ? devices_(commPort_) : DefaultSerialDevice(commPort_);
    port_.setPortName(device_);
    if (!port_.open(QIODevice::ReadWrite)) {
        const Long number = port_.error() == QSerialPort::DeviceNotFoundError ? kErrInvalidPort
                            : port_.error() == QSerialPort::PermissionError   ? kErrPortAlreadyOpen
                                                                              : kErrHardware;
        const std::string text = port_.errorString().toStdString();
        port_.clearError();
        WatchForReturn();
        throw ComponentError(number, text);
    }
    delete returnWatch_;
    returnWatch_ = nullptr;
    if (!(port_.setBaudRate(parsed_.baud) && port_.setParity(parsed_.parity) &&
          port_.setDataBits(parsed_.dataBits) && port_.setStopBits(parsed_.stopBits) &&
          port_.setFlowControl(QSerialPort::NoFlowControl))) {
        const std::string text = port_.errorString().toStdString();
        port_.close();
        port_.clearError();
        throw ComponentError(kErrInvalidValue, "Invalid property value: " + text);
    }
    WatchForHangUp();
    emit OpenChanged(true);
}

Long QtSerialPort::InBufferCount() const {
    if (!port_.isOpen()) return 0;
    const qint64 n = port_.bytesAvailable();
    return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<Long>(n);
}

std::string QtSerialPort::Input() {
    if (!port_.isOpen())
        throw ComponentError(kErrNotOpen, "Operation valid only when the port is open");
    const QByteArray data = port_.readAll();
    return std::string(data.constData(), static_cast<std::size_t>(data.size()));
}

void QtSerialPort::Output(char c) {
    if (!port_.isOpen())
        throw ComponentError(kErrNotOpen, "Operation valid only when the port is open");
    // A slow line must not queue without bound behind one client's flood.
    if (port_.bytesToWrite() >= kSerialOutputCap)
        throw ComponentError(kErrTxFull, "Transmit buffer full");
    if (port_.write(&c, 1) != 1)
        throw ComponentError(kErrHardware, port_.errorString().toStdString());
}

std::size_t QtSerialPort::OutputRoom() const {
    if (!port_.isOpen()) return static_cast<std::size_t>(-1);  // each write fails and says why
    const qint64 queued = port_.bytesToWrite();
    return queued >= kSerialOutputCap ? 0 : static_cast<std::size_t>(kSerialOutputCap - queued);
}

void QtSerialPort::SendOutput() {
    // QSerialPort leaves written bytes for its notifier, a turn of the loop later; the take
    // goes now (as much as the line takes without waiting; the notifier sends any rest).
    if (!port_.isOpen() || port_.bytesToWrite() == 0) return;
    sending_ = true;
    port_.flush();
    sending_ = false;
}

void QtSerialPort::OnError(QSerialPort::SerialPortError error) {
    if (sending_) {
        // The server is inside its handler: the loss reaches it from the event loop.
        QMetaObject::invokeMethod(
            this, [this, error] { OnError(error); }, Qt::QueuedConnection);
        return;
    }
    if (!port_.isOpen()) return;
    if (error == QSerialPort::ResourceError) {
        // Qt's text here is often a stale errno ("Resource temporarily unavailable").
        const std::string qtText = port_.errorString().toStdString();
        port_.clearError();
#ifdef Q_OS_UNIX
        // A line the switcher does not read refuses writes with the same error: only a device
        // that is really gone is a loss. Its output waits for the line meanwhile.
        if (const std::optional<std::string> reason = LossReason()) Lose(*reason);
#else
        Lose(LossReason().value_or(qtText));
#endif
        return;
    }
    if (error == QSerialPort::ReadError || error == QSerialPort::WriteError) {
        // A failed read or write is a loss only when the device is really gone.
        if (const std::optional<std::string> reason = LossReason()) {
            port_.clearError();
            Lose(*reason);
        }
    }
}

void QtSerialPort::Lose(const std::string& reason) {
    // The device went away: close the port and tell the server, once; clients stay served.
    if (!port_.isOpen()) return;
    StopWatching();
    port_.close();
    port_.clearError();
    emit OpenChanged(false);
    WatchForReturn();
    if (events_) events_->PortLost(ComponentError(kErrHardware, reason));
}

void QtSerialPort::WatchForReturn() {
    // A plugged-in adapter's node appears in its folder (/dev, or where a udev link points
    // from); the server then tries at once instead of at its next back-off step.
    const QString folder = QFileInfo(device_).absolutePath();
    if (returnWatch_ && returnWatch_->directories().contains(folder)) return;
    delete returnWatch_;
    returnWatch_ = new QFileSystemWatcher(this);
    if (!returnWatch_->addPath(folder)) return;
    connect(returnWatch_, &QFileSystemWatcher::directoryChanged, this,
            &QtSerialPort::OnFolderChanged);
}

void QtSerialPort::OnFolderChanged() {
    if (port_.isOpen() || !QFileInfo::exists(device_)) return;
    if (events_) events_->DeviceMayBeBack();
}

#ifdef Q_OS_UNIX
void QtSerialPort::WatchForHangUp() {
    StopWatching();
    watchFd_ = ::dup(static_cast<int>(port_.handle()));
    if (watchFd_ < 0) return;
    watch_ = new QSocketNotifier(watchFd_, QSocketNotifier::Read, this);
    connect(watch_, &QSocketNotifier::activated, this, &QtSerialPort::OnHangUpWatch);
}

void QtSerialPort::StopWatching() {
    if (watch_) {
        watch_->setEnabled(false);
        watch_->deleteLater();  // may be inside its own signal
        watch_ = nullptr;
    }
    if (watchFd_ >= 0) ::close(watchFd_);
    watchFd_ = -1;
}

void QtSerialPort::OnHangUpWatch() {
    // Readable: either data, which Qt's own notifier reads, or a hang-up, which it does not see.
    pollfd p{watchFd_, POLLIN, 0};
    if (::poll(&p, 1, 0) != 1 || !(p.revents & (POLLHUP | POLLERR | POLLNVAL))) return;
    Lose(LossReason().value_or(kDeviceHungUp));
}

std::optional<std::string> QtSerialPort::LossReason() const {
    struct stat st {};
    if (::stat(QFile::encodeName(device_).constData(), &st) != 0 && errno == ENOENT)
        return kDeviceRemoved;
    // A hung-up line refuses every terminal request with the platform's own error.
    termios t{};
    if (::tcgetattr(static_cast<int>(port_.handle()), &t) != 0) return std::strerror(errno);
    pollfd p{static_cast<int>(port_.handle()), POLLIN, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return kDeviceHungUp;
    return std::nullopt;
}
#else
// Elsewhere Qt itself reports a vanished device as a resource error.
void QtSerialPort::WatchForHangUp() {}
void QtSerialPort::StopWatching() {}
void QtSerialPort::OnHangUpWatch() {}
std::optional<std::string> QtSerialPort::LossReason() const {
    return std::nullopt;
}
#endif

}  // namespace qv
