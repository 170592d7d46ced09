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
                server_.fileIsNewer_ = false;  // the operator's choice goes to the file
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
    for (IServerWatch* w : watches_) w->SettingsChanged();
}

void Server::ReloadSettings() {
    Settings next = DefaultSettings();
    std::string error;
    std::optional<std::string> text;
    const bool read = PeekSettings(next, state_.AppPath, p_.files, &error, &text);
    // A file gone (or being replaced) keeps what is in force; the next write makes it again.
    if (!text || text == settingsSeen_) return;
    settingsSeen_ = text;
    fileIsNewer_ = true;
    if (!read) {
        view_.Report("File Error", error);
        return;
    }
    ApplyReloaded(next);
    for (IServerWatch* w : watches_) w->SettingsChanged();
}

void Server::ApplyReloaded(const Settings& next) {
    Settings& s = settings_;
    // As the change-password dialog: the next login checks against it; those in stay in.
    s.Password = next.Password;
    if (next.MaxListSize != s.MaxListSize) {
        s.MaxListSize = next.MaxListSize;
        history_.Trim();
        view_.SetCaption(Label::CmdHistory,
                         "Command History - [" + std::to_string(s.MaxListSize) + " Items]");
    }
    // Then as the setup dialog's OK, without its questions.
    const Integer oldSerialPort = s.SerialPort;
    const bool serialChange = next.SerialPort != s.SerialPort || next.BaudRate != s.BaudRate;
    s.SerialPort = next.SerialPort;
    s.BaudRate = next.BaudRate;
    if (next.LogFileOn != s.LogFileOn) {
        s.LogFileOn = next.LogFileOn;
        ShowLogFilePanel();
    }
    if (next.PassThruMode != s.PassThruMode) {
        s.PassThruMode = next.PassThruMode;
        ShowPassThruPanel();
    }
    if (next.StayOnTopMode != s.StayOnTopMode) {
        s.StayOnTopMode = next.StayOnTopMode;
        view_.ApplyZOrder(s.StayOnTopMode);
    }
    if (serialChange && !ApplySerialSettings(oldSerialPort)) return;
    // A port out of range is what start-up would not listen on either: the listener stays.
    if (next.TcpPort != s.TcpPort && next.TcpPort >= kMinTcpPort && next.TcpPort <= kMaxTcpPort) {
        s.TcpPort = next.TcpPort;
        ApplyTcpPort();
    }
}

}  // namespace qv
