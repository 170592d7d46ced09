#include "core/server.h"

#include <cstdio>
#include <exception>

namespace qv {

Server::Server(Ports ports, std::string exeFolder, char pathSeparator)
    : p_(ports),
      view_(ports.view, state_),
      recorder_(ports.clock),
      history_(settings_.MaxListSize, view_),
      eventLog_(settings_, state_.AppPath, ports.files, view_),
      exeFolder_(std::move(exeFolder)),
      sep_(pathSeparator) {
    recorder_.AddSink(history_);
    recorder_.AddSink(eventLog_);
    p_.sockets.SetEvents(this);
    p_.serial.SetEvents(this);
    WireTimers();
}

Server::~Server() {
    p_.sockets.SetEvents(nullptr);
    p_.serial.SetEvents(nullptr);
    for (ITimer* t :
         {&p_.timers.Led2, &p_.timers.Led, &p_.timers.Help, &p_.timers.DecodeTcp,
          &p_.timers.CmndChk, &p_.timers.SerialRetry, &p_.timers.LoginWait, &p_.timers.Linger})
        t->SetTick(nullptr);
}

void Server::WireTimers() {
    p_.timers.Led2.SetTick([this] { SerialLampTimeout(); });
    p_.timers.Led.SetTick([this] { NetworkLampTimeout(); });
    p_.timers.Help.SetTick([this] { HelpMenuTimeout(); });
    p_.timers.DecodeTcp.SetTick([this] { ClientTick(); });
    p_.timers.CmndChk.SetTick([this] { SwitcherTick(); });
    p_.timers.SerialRetry.SetTick([this] { RetrySerialLink(); });
    p_.timers.LoginWait.SetTick([this] { CheckLoginWaits(); });
    p_.timers.Linger.SetTick([this] { CheckLingeringClients(); });
}

// ---- start-up and shut-down ----

void Server::LoadWindowDesign() {
    view_.SetLampColour(Lamp::Serial, kColourRed);
    view_.SetLampColour(Lamp::Network, kColourRed);
    view_.SetStatusPanel(1, "Client Connections: 0000");
    view_.SetStatusPanel(2, "Log File: OFF");
    view_.SetStatusPanel(3, "Pass Thru Mode: OFF");
    p_.timers.Led2.SetInterval(kLed2IntervalMs);
    p_.timers.Led.SetInterval(kLedDesignIntervalMs);
    p_.timers.Help.SetInterval(kHelpIntervalMs);
    p_.timers.DecodeTcp.SetInterval(kDecodeTcpIntervalMs);
    p_.timers.CmndChk.SetInterval(kCmndChkIntervalMs);
    p_.timers.DecodeTcp.SetEnabled(false);
    p_.timers.CmndChk.SetEnabled(false);
    p_.timers.Led2.SetEnabled(true);
    p_.timers.Led.SetEnabled(true);
    p_.timers.Help.SetEnabled(true);
}

void Server::Start() {
    LoadWindowDesign();
    state_.StartedAtMs = p_.clock.MonotonicMs();
    try {
        settings_.MaxListSize = kDefaultMaxListSize;
        settings_.StayOnTopMode = kTopMost;
        settings_.SerialPort = kDefaultSerialPort;
        settings_.BaudRate = kDefaultBaudRate;
        settings_.TcpPort = kDefaultTcpPort;
        view_.SetLampColour(Lamp::Serial, kColourRed);
        line_.ReadyPrompt = MakeReadyPrompt();
        state_.AppPath = exeFolder_;
        if (state_.AppPath.empty() || state_.AppPath.back() != sep_) state_.AppPath += sep_;
        InitServer();
    } catch (const ComponentError& e) {
        view_.Report("Server Error", ErrorText("Switcher Server Error", e));
    } catch (const std::exception& e) {
        view_.Report("Server Error", ErrorText("Switcher Server Error", kErrInvalidCall, e.what()));
    }
}

void Server::InitServer() {
    // Through the mirror, so that the panels it sets are remembered for the status page.
    ReadSettings(settings_, state_.AppPath, p_.files, view_);
    settingsSeen_ = SettingsFileText();
    view_.SetCaption(Label::CmdHistory,
                     "Command History - [" + std::to_string(settings_.MaxListSize) + " Items]");
    ShowSerialCaption();
    ShowTcpPortCaption();
    view_.ApplyZOrder(settings_.StayOnTopMode);
    if (settings_.TcpPort < kMinTcpPort || settings_.TcpPort > kMaxTcpPort)
        settings_.TcpPort = kDefaultTcpPort;
    p_.timers.Help.SetEnabled(false);
    p_.sockets.Listen(settings_.TcpPort);
    state_.Clients.Reset();
    freeFrom_ = 1;
    state_.ConnectionCount = 0;
    if (p_.serial.PortOpen()) return;
    try {
        OpenSerialPort();
        SerialLinkOpened();
    } catch (const ComponentError& e) {
        // The switcher may be plugged in later: reported as ever, then tried again.
        view_.Report("Server Error", ErrorText("Switcher Server Error", e));
        SerialLinkDown();
    }
}

void Server::Stop() {
    ShutDown();
    view_.CloseAllWindows();
}

void Server::ShutDown() {
    for (IServerWatch* w : watches_) w->ShuttingDown();
    // Each step acts only on what is open; a failing step does not keep the rest from running.
    p_.timers.SerialRetry.SetEnabled(false);
    p_.timers.LoginWait.SetEnabled(false);
    p_.timers.Linger.SetEnabled(false);
    state_.SerialLink = SerialLinkState::Closed;
    try {
        if (p_.serial.PortOpen()) p_.serial.SetPortOpen(false);
    } catch (const ComponentError&) {
    }
    try {
        if (p_.sockets.Listening()) p_.sockets.CloseListener();
    } catch (const ComponentError&) {
    }
    const Integer n = ClientSlotCount();
    for (int i = 1; i <= n; ++i) CloseClient(static_cast<Integer>(i));
    // A file changed by someone else since it was last read holds the newer values.
    if (SettingsFileText() == settingsSeen_ && !fileIsNewer_) WriteSettings();
}

void Server::WriteSettings() {
    qv::WriteSettings(settings_, state_.AppPath, p_.files, p_.view);
    settingsSeen_ = SettingsFileText();
    fileIsNewer_ = false;
}

std::optional<std::string> Server::SettingsFileText() const {
    const std::string path = state_.AppPath + kSettingsFileName;
    try {
        if (p_.files.Exists(path)) return p_.files.ReadAll(path);
    } catch (const ComponentError&) {
        // Read as missing: the next write replaces it whole.
    }
    return std::nullopt;
}

// ---- lamps, captions and panels ----

void Server::NetworkLampOn(bool newInterval) {
    view_.SetLampColour(Lamp::Network, kColourGreen);
    if (newInterval) {
        p_.timers.Led.SetInterval(kLedIntervalMs);
        p_.timers.Led.SetEnabled(true);
    } else {
        p_.timers.Led.SetEnabled(false);
        p_.timers.Led.SetEnabled(true);
    }
}

void Server::SerialLampOn() {
    p_.timers.Led2.SetEnabled(true);
    view_.SetLampColour(Lamp::Serial, kColourGreen);
}

void Server::ShowConnectionCount() {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", static_cast<int>(state_.ConnectionCount));
    view_.SetStatusPanel(1, std::string("Client Connections: ") + digits);
    StatusChanged();
}

void Server::StatusChanged() {
    for (IServerWatch* w : watches_) w->StatusChanged();
}

void Server::ShowLogFilePanel() {
    view_.SetStatusPanel(2, LogFilePanelText(settings_.LogFileOn));
}
void Server::ShowPassThruPanel() {
    view_.SetStatusPanel(3, PassThruPanelText(settings_.PassThruMode));
}

void Server::ShowSerialCaption() {
    view_.SetCaption(Label::SerialStatus, "Router Serial Activity [COM " +
                                              std::to_string(settings_.SerialPort) + " - " +
                                              settings_.BaudRate + " Baud]");
}

void Server::ShowTcpPortCaption() {
    const std::string port = std::to_string(settings_.TcpPort);
    view_.SetCaption(Label::RcvMsg, "Processing TCP/IP Message [Port " + port + "]");
    view_.SetToolTip(Label::RcvMsg, "Listening for message on Port " + port);
}

void Server::SerialLampTimeout() {
    p_.timers.Led2.SetEnabled(false);
    view_.SetLampColour(Lamp::Serial, kColourRed);
}

void Server::NetworkLampTimeout() {
    view_.SetLampColour(Lamp::Network, kColourRed);
    p_.timers.Led.SetEnabled(false);
}

// ---- records ----

void Server::LogActivity(std::string_view text, Integer comPort) {
    recorder_.LogActivity(text, comPort);
}

void Server::LogIPActivity(std::string_view text, std::string_view address) {
    recorder_.LogIPActivity(text, address);
}

void Server::ClearHistory() {
    history_.Clear();
}

}  // namespace qv
