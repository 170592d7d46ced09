// The setup dialog's changes and the password change.
#include "core/setup.h"

#include "core/server.h"
#include "records/numeric.h"

namespace qv {

SetupChange::SetupChange(Server& server, SetupValues values)
    : server_(server), values_(std::move(values)), oldSerialPort_(server.settings().SerialPort) {}

void SetupChange::Answer(bool ok) {
    // Cancel in a confirmation ends the change where it stands.
    if (!ok && asked_ != Question::BadTcpPort) step_ = Step::Done;
    asked_ = Question::None;
}

SetupChange::Question SetupChange::Run() {
    Settings& s = server_.settings_;
    for (;;) {
        switch (step_) {
            case Step::Start:
                step_ = Step::BaudRate;
                if (values_.SerialPort != s.SerialPort) {
                    serialChange_ = true;
                    return asked_ = Question::ConfirmSerialPort;
                }
                break;
            case Step::BaudRate:
                step_ = Step::Apply;
                if (values_.BaudRate != s.BaudRate) {
                    serialChange_ = true;
                    return asked_ = Question::ConfirmBaudRate;
                }
                break;
            case Step::Apply:
                s.SerialPort = values_.SerialPort;
                s.BaudRate = values_.BaudRate;
                s.LogFileOn = values_.LogFileOn;
                server_.ShowLogFilePanel();
                s.PassThruMode = values_.PassThruMode;
                server_.ShowPassThruPanel();
                s.StayOnTopMode = values_.StayOnTop ? kTopMost : kNotTopMost;
                step_ = Step::Done;
                if (serialChange_ && !server_.ApplySerialSettings(oldSerialPort_))
                    return Question::None;
                try {
                    tcpPort_ = ToLong(LeadingNumber(values_.TcpPortText));
                } catch (const ComponentError& e) {
                    server_.Report("Server Error", ErrorText("Invalid IP Port  Error", e));
                    return Question::None;
                }
                if (tcpPort_ < kMinTcpPort || tcpPort_ > kMaxTcpPort)
                    return asked_ = Question::BadTcpPort;
                if (tcpPort_ != s.TcpPort) {
                    step_ = Step::ApplyTcpPort;
                    return asked_ = Question::ConfirmTcpPort;
                }
                accepted_ = true;
                return Question::None;
            case Step::ApplyTcpPort:
                s.TcpPort = tcpPort_;
                server_.ApplyTcpPort();
                accepted_ = true;
                step_ = Step::Done;
                return Question::None;
            case Step::Done:
                return Question::None;
        }
    }
}

bool Server::ApplySerialSettings(Integer oldSerialPort) {
    try {
        if (p_.serial.PortOpen()) p_.serial.SetPortOpen(false);
        if (!p_.serial.PortOpen()) OpenSerialPort();
        ShowSerialCaption();
        SerialLinkOpened();
        return true;
    } catch (const ComponentError& e) {
        view_.Report("Server Error", ErrorText("Switcher Server Error", e));
        settings_.SerialPort = oldSerialPort;
        // The tries go on with the port just chosen; the old one is given up.
        SerialLinkDown();
        return false;
    }
}

void Server::ApplyTcpPort() {
    try {
        DisconnectAllClients();
        p_.sockets.MoveListener(settings_.TcpPort);
        state_.ConnectionCount = 0;
        ShowTcpPortCaption();
    } catch (const ComponentError& e) {
        view_.Report("Server Error", ErrorText("IP Port Error", e));
    }
}

void Server::ChangePassword(const std::string& password) {
    settings_.Password = password;
    WriteSettings();
}

}  // namespace qv
