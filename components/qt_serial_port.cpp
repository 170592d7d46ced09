#include "components/qt_serial_port.h"

#include <QStringList>

namespace qv {
namespace {

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
        if (port_.isOpen()) port_.close();
        return;
    }
    if (port_.isOpen()) throw ComponentError(kErrPortAlreadyOpen, "Port already open");
    port_.setPortName(devices_ ? devices_(commPort_) : DefaultSerialDevice(commPort_));
    if (!port_.open(QIODevice::ReadWrite)) {
        const Long number = port_.error() == QSerialPort::DeviceNotFoundError ? kErrInvalidPort
                            : port_.error() == QSerialPort::PermissionError   ? kErrPortAlreadyOpen
                                                                              : kErrHardware;
        const std::string text = port_.errorString().toStdString();
        port_.clearError();
        throw ComponentError(number, text);
    }
    if (!(port_.setBaudRate(parsed_.baud) && port_.setParity(parsed_.parity) &&
          port_.setDataBits(parsed_.dataBits) && port_.setStopBits(parsed_.stopBits) &&
          port_.setFlowControl(QSerialPort::NoFlowControl))) {
        const std::string text = port_.errorString().toStdString();
        port_.close();
        port_.clearError();
        throw ComponentError(kErrInvalidValue, "Invalid property value: " + text);
    }
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

void QtSerialPort::OnError(QSerialPort::SerialPortError error) {
    if (error != QSerialPort::ResourceError) return;
    // The device went away: close the port and tell the server; clients stay served.
    const ComponentError e(kErrHardware, port_.errorString().toStdString());
    port_.clearError();
    if (port_.isOpen()) port_.close();
    if (events_) events_->PortLost(e);
}

}  // namespace qv
