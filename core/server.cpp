#include "core/server.h"

#include <cstdio>
#include <exception>

namespace qv {

Server::Server(Ports ports, std::string exeFolder, char pathSeparator)
    : p_(ports),
      recorder_(ports.clock),
      history_(settings_.MaxListSize, ports.view),
      eventLog_(settings_, state_.AppPath, ports.files, ports.view),
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
    for (ITimer* t : {&p_.timers.Led2, &p_.timers.Led, &p_.timers.Help, &p_.timers.DecodeTcp,
                      &p_.timers.CmndChk})
        t->SetTick(nullptr);
}

void Server::WireTimers() {
    p_.timers.Led2.SetTick([this] { tmrLed2_Timer(); });
    p_.timers.Led.SetTick([this] { tmrLed_Timer(); });
    p_.timers.Help.SetTick([this] { tmrHelp_Timer(); });
    p_.timers.DecodeTcp.SetTick([this] { tmrDecodeTcp_Timer(); });
    p_.timers.CmndChk.SetTick([this] { tmrCmndChk_Timer(); });
}

// ---- start-up and shut-down ----

void Server::LoadWindowDesign() {
    p_.view.SetLampColour(Lamp::Serial, kColourRed);
    p_.view.SetLampColour(Lamp::Network, kColourRed);
    p_.view.SetStatusPanel(1, "Client Connections: 0000");
    p_.view.SetStatusPanel(2, "Log File: OFF");
    p_.view.SetStatusPanel(3, "Pass Thru Mode: OFF");
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

void Server::Form_Load() {
    LoadWindowDesign();
    try {
        settings_.MaxListSize = kDefaultMaxListSize;
        settings_.StayOnTopMode = kTopMost;
        settings_.SerialPort = kDefaultSerialPort;
        settings_.BaudRate = kDefaultBaudRate;
        settings_.TcpPort = kDefaultTcpPort;
        p_.view.SetLampColour(Lamp::Serial, kColourRed);
        line_.ReadyPrompt = MakeReadyPrompt();
        state_.AppPath = exeFolder_;
        if (state_.AppPath.empty() || state_.AppPath.back() != sep_) state_.AppPath += sep_;
        InitServer();
    } catch (const ComponentError& e) {
        p_.view.Report("Server Error", ErrorText("Switcher Server Error", e));
    } catch (const std::exception& e) {
        p_.view.Report("Server Error",
                       ErrorText("Switcher Server Error", kErrInvalidCall, e.what()));
    }
}

void Server::InitServer() {
    ReadSettings(settings_, state_.AppPath, p_.files, p_.view);
    p_.view.SetCaption(Label::CmdHistory,
                       "Command History - [" + std::to_string(settings_.MaxListSize) + " Items]");
    ShowSerialCaption();
    ShowTcpPortCaption();
    p_.view.ApplyZOrder(settings_.StayOnTopMode);
    if (settings_.TcpPort < kMinTcpPort || settings_.TcpPort > kMaxTcpPort)
        settings_.TcpPort = kDefaultTcpPort;
    p_.timers.Help.SetEnabled(false);
    p_.sockets.Listen(settings_.TcpPort);
    state_.Clients.Reset();
    state_.ConnectionCount = 0;
    if (!p_.serial.PortOpen()) OpenSerialPort();
}

void Server::Form_Unload() {
    CloseServer();
    p_.view.CloseAllWindows();
}

void Server::CloseServer() {
    // Each step acts only on what is open; a failing step does not keep the rest from running.
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
    WriteSettings();
}

void Server::WriteSettings() {
    qv::WriteSettings(settings_, state_.AppPath, p_.files, p_.view);
}

// ---- lamps, captions and panels ----

void Server::NetworkLampOn(bool newInterval) {
    p_.view.SetLampColour(Lamp::Network, kColourGreen);
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
    p_.view.SetLampColour(Lamp::Serial, kColourGreen);
}

void Server::ShowConnectionCount() {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", static_cast<int>(state_.ConnectionCount));
    p_.view.SetStatusPanel(1, std::string("Client Connections: ") + digits);
}

void Server::ShowLogFilePanel() {
    p_.view.SetStatusPanel(2, LogFilePanelText(settings_.LogFileOn));
}
void Server::ShowPassThruPanel() {
    p_.view.SetStatusPanel(3, PassThruPanelText(settings_.PassThruMode));
}

void Server::ShowSerialCaption() {
    p_.view.SetCaption(Label::SerialStatus, "Router Serial Activity [COM " +
                                                std::to_string(settings_.SerialPort) + " - " +
                                                settings_.BaudRate + " Baud]");
}

void Server::ShowTcpPortCaption() {
    const std::string port = std::to_string(settings_.TcpPort);
    p_.view.SetCaption(Label::RcvMsg, "Processing TCP/IP Message [Port " + port + "]");
    p_.view.SetToolTip(Label::RcvMsg, "Listening for message on Port " + port);
}

void Server::tmrLed2_Timer() {
    p_.timers.Led2.SetEnabled(false);
    p_.view.SetLampColour(Lamp::Serial, kColourRed);
}

void Server::tmrLed_Timer() {
    p_.view.SetLampColour(Lamp::Network, kColourRed);
    p_.timers.Led.SetEnabled(false);
}

// ---- records ----

void Server::LogActivity(std::string_view text, Integer comPort) {
    recorder_.LogActivity(text, comPort);
}

void Server::LogIPActivity(std::string_view text, std::string_view address) {
    recorder_.LogIPActivity(text, address);
}

void Server::cmdClearList_Click() {
    history_.Clear();
}

}  // namespace qv
