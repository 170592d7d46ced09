#include "core/server.h"

#include <cstdio>
#include <exception>

#include "records/settings.h"

namespace qv {

Server::Server(Ports ports, std::string exeFolder, char pathSeparator)
    : p_(ports),
      recorder_(v_, ports.files, ports.clock, ports.view),
      exeFolder_(std::move(exeFolder)),
      sep_(pathSeparator) {
    p_.sockets.SetEvents(this);
    p_.serial.SetEvents(this);
}

Server::~Server() {
    p_.sockets.SetEvents(nullptr);
    p_.serial.SetEvents(nullptr);
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
        v_.MaxListSize = 25;
        v_.StayOnTopMode = kTopMost;
        v_.SerialPort = 1;
        v_.BaudRate = "9600";
        v_.TcpPort = 1250;
        p_.view.SetLampColour(Lamp::Serial, kColourRed);
        v_.ReadyPrompt = MakeReadyPrompt();
        v_.AppPath = exeFolder_;
        if (v_.AppPath.empty() || v_.AppPath.back() != sep_) v_.AppPath += sep_;
        InitServer();
    } catch (const ComponentError& e) {
        p_.view.Report("Server Error", ErrorText("Switcher Server Error", e));
    } catch (const std::exception& e) {
        p_.view.Report("Server Error",
                       ErrorText("Switcher Server Error", kErrInvalidCall, e.what()));
    }
}

void Server::InitServer() {
    ReadSettings(v_, p_.files, p_.view);
    p_.view.SetCaption(Label::CmdHistory,
                       "Command History - [" + std::to_string(v_.MaxListSize) + " Items]");
    p_.view.SetCaption(Label::SerialStatus, "Router Serial Activity [COM " +
                                                std::to_string(v_.SerialPort) + " - " +
                                                v_.BaudRate + " Baud]");
    p_.view.SetCaption(Label::RcvMsg,
                       "Processing TCP/IP Message [Port " + std::to_string(v_.TcpPort) + "]");
    p_.view.SetToolTip(Label::RcvMsg,
                       "Listening for message on Port " + std::to_string(v_.TcpPort));
    p_.view.ApplyZOrder(v_.StayOnTopMode);
    if (v_.TcpPort < 1 || v_.TcpPort > 65535) v_.TcpPort = 1250;
    p_.timers.Help.SetEnabled(false);
    p_.sockets.Listen(v_.TcpPort);
    v_.ClientSlotCount = 0;
    v_.ConnectionCount = 0;
    if (!p_.serial.PortOpen()) {
        p_.serial.SetSettings(v_.BaudRate + ",n,8,1");
        p_.serial.SetCommPort(v_.SerialPort);
        p_.serial.SetPortOpen(true);
    }
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
    const Integer n = v_.ClientSlotCount;
    for (int i = 1; i <= n; ++i) CloseClient(static_cast<Integer>(i));
    WriteSettings();
}

void Server::CloseClient(Integer index) {
    // The operator's side ends the connection: recorded, closed; the count is the caller's.
    try {
        if (p_.sockets.Connected(index)) {
            LogIPActivity("Client Disconnect", p_.sockets.PeerAddress(index));
            p_.sockets.Close(index);
        }
    } catch (const ComponentError&) {
    }
}

void Server::WriteSettings() {
    qv::WriteSettings(v_, p_.files, p_.view);
}

// ---- lamps and panels ----

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
    std::snprintf(digits, sizeof digits, "%04d", static_cast<int>(v_.ConnectionCount));
    p_.view.SetStatusPanel(1, std::string("Client Connections: ") + digits);
}

void Server::ShowLogFilePanel() {
    p_.view.SetStatusPanel(2, LogFilePanelText(v_.LogFileOn));
}
void Server::ShowPassThruPanel() {
    p_.view.SetStatusPanel(3, PassThruPanelText(v_.PassThruMode));
}

void Server::tmrLed2_Timer() {
    p_.timers.Led2.SetEnabled(false);
    p_.view.SetLampColour(Lamp::Serial, kColourRed);
}

void Server::tmrLed_Timer() {
    p_.view.SetLampColour(Lamp::Network, kColourRed);
    p_.timers.Led.SetEnabled(false);
}

void Server::tmrHelp_Timer() {
    v_.HelpMenuActive = 0;
    p_.timers.Help.SetEnabled(false);
}

void Server::cmdClearList_Click() {
    recorder_.ClearHistory();
}

// ---- client connections ----

void Server::ConnectionRequest(Long requestId) {
    Integer slot = 0;
    const Integer count = v_.ClientSlotCount;
    for (int i = 1; i <= count; ++i) {
        if (!p_.sockets.Connected(i)) {
            slot = i;
            break;
        }
    }
    try {
        if (slot == 0) {
            if (count >= kMaxClientSlots) {
                p_.sockets.Refuse(requestId);  // every slot number is taken
                return;
            }
            slot = static_cast<Integer>(count + 1);
            p_.sockets.CreateElement(slot);
            v_.ClientSlotCount = slot;
            v_.ClientBuffer.resize(static_cast<std::size_t>(slot) + 1);
            v_.LoggedIn.resize(static_cast<std::size_t>(slot) + 1, false);
        }
        p_.sockets.Accept(slot, requestId);
    } catch (const ComponentError&) {
        return;  // the connection could not be taken over; the slot stays free
    }
    // A reused slot starts clean: the previous client's half-typed text is not inherited.
    v_.ClientBuffer[slot].clear();
    ++v_.ConnectionCount;
    ShowConnectionCount();
    NetworkLampOn(true);
    LogIPActivity("Client Connection Request", p_.sockets.PeerAddress(slot));
    if (!v_.Password.empty()) {
        v_.LoggedIn[slot] = false;
        SendtoSingleIP(kPasswordPrompt, slot);
    } else {
        v_.LoggedIn[slot] = true;
        SendtoSingleIP(kLoginOk, slot);
    }
}

void Server::Disconnected(Integer index) {
    if (index < 1 || index > v_.ClientSlotCount || !p_.sockets.Connected(index)) return;
    DropClient(index);
}

void Server::DropClient(Integer index) {
    if (v_.ConnectionCount > 0) --v_.ConnectionCount;
    ShowConnectionCount();
    LogIPActivity("Client Disconnect", p_.sockets.PeerAddress(index));
    try {
        p_.sockets.Close(index);
    } catch (const ComponentError&) {
    }
}

void Server::mnuDisconnectAllClients_Click() {
    const Integer n = v_.ClientSlotCount;
    for (int i = 1; i <= n; ++i) {
        CloseClient(static_cast<Integer>(i));
        p_.sockets.RemoveElement(static_cast<Integer>(i));
    }
    v_.ClientSlotCount = 0;
    v_.ConnectionCount = 0;
    v_.ClientBuffer.assign(1, TextBuffer());
    v_.LoggedIn.assign(1, false);
    ShowConnectionCount();
}

// ---- send routines ----

void Server::WriteTo(Integer index, std::string_view text) {
    // A client whose pending output passed the cap has stopped reading: put it off rather than
    // let it grow the server's memory. A plain failure is left to the disconnect event.
    if (p_.sockets.Write(index, text) == ISocketArray::WriteResult::Overflow) DropClient(index);
}

void Server::SendtoIP(std::string_view text) {
    NetworkLampOn(false);
    v_.IdleTicks = 0;
    const Integer n = v_.ClientSlotCount;
    for (int i = 1; i <= n; ++i)
        if (v_.LoggedIn[i] && p_.sockets.Connected(i)) WriteTo(i, text);
}

void Server::SendtoSingleIP(std::string_view text, Integer index) {
    NetworkLampOn(false);
    v_.IdleTicks = 0;
    if (index >= 1 && index <= v_.ClientSlotCount && p_.sockets.Connected(index))
        WriteTo(index, text);
}

// ---- client intake ----

void Server::BumpIdleTicks() {
    if (v_.IdleTicks < kIntegerMax) ++v_.IdleTicks;
}

void Server::DataArrival(Integer index) {
    if (index < 1 || index > v_.ClientSlotCount) return;
    try {
        NetworkLampOn(true);
        const std::string text = p_.sockets.ReadAll(index);
        if (text.empty()) return;
        v_.ClientBuffer[index].append(text);
        v_.IdleTicks = 0;
        p_.timers.DecodeTcp.SetEnabled(true);
    } catch (const ComponentError& e) {
        p_.view.Report("TCP/IP Message Error", ErrorText("Error Interpreting TCP Message Data", e));
        return;
    }
    DrainClient(index);
}

void Server::DrainClient(Integer index) {
    // Every complete unit is worked off at once, in order; an incomplete one waits.
    try {
        while (!v_.ClientBuffer[index].empty() && DecodeTcpMessage(v_, index, *this)) {
        }
    } catch (const std::exception&) {
        // An interpreter failure must not stop the other clients' service.
        v_.ClientBuffer[index].clear();
    }
}

void Server::tmrDecodeTcp_Timer() {
    BumpIdleTicks();
    int withText = 0;
    const Integer n = v_.ClientSlotCount;
    for (int i = 1; i <= n && i <= v_.ClientSlotCount; ++i) {
        if (v_.ClientBuffer[i].empty()) continue;
        ++withText;
        DrainClient(i);
    }
    if (v_.IdleTicks > kIdleFlushTicks) {
        v_.IdleTicks = 0;
        for (int i = 1; i <= v_.ClientSlotCount; ++i) {
            v_.ClientBuffer[i].clear();
            if (!v_.LoggedIn[i]) SendtoSingleIP(kLoginInvalid, i);
        }
    }
    if (withText == 0) p_.timers.DecodeTcp.SetEnabled(false);
}

std::string Server::PeerAddress(Integer index) {
    return p_.sockets.PeerAddress(index);
}

// ---- serial link ----

void Server::TcptoSerial(std::string_view text) {
    try {
        SerialLampOn();
        v_.IdleTicks = 0;
        for (char c : text) p_.serial.Output(c);
    } catch (const ComponentError& e) {
        p_.view.Report("Serial Send Error", ErrorText("Error Sending Message to serial port", e));
    }
}

void Server::OnComm(Integer commEvent) {
    if (commEvent != kCommEventReceive) return;
    SerialLampOn();
    std::string work;
    try {
        while (p_.serial.InBufferCount() > 0) {
            work += p_.serial.Input();
            v_.IdleTicks = 0;
        }
    } catch (const ComponentError&) {
        // What was read stays; the port's loss is reported through PortLost.
    }
    v_.SerialBuffer.append(work);
    p_.timers.CmndChk.SetEnabled(true);
    DrainSerial(false);
}

void Server::PortLost(const ComponentError& error) {
    p_.view.Report("Server Error", ErrorText("Switcher Server Error", error));
}

void Server::DrainSerial(bool fromTick) {
    // Every complete piece is worked off at once; a step that consumes nothing ends the run.
    // In a quiet backlog the relays of this very run are not new traffic: each noise-led piece
    // would otherwise wait 11 more ticks, and well-formed frames behind a burst of noise would
    // wait minutes.
    const bool backlog = fromTick && v_.IdleTicks >= kMarkerQuietTicks &&
                         v_.SerialBuffer.size() > kSerialBacklogBytes;
    const Integer quiet = v_.IdleTicks;
    bool relayed = false;
    while (!v_.SerialBuffer.empty() && DecodeSerialMessage(v_, *this)) {
        if (backlog && v_.IdleTicks == 0) {
            relayed = true;
            v_.IdleTicks = quiet;
        }
    }
    if (relayed) v_.IdleTicks = 0;
    if (v_.SerialBuffer.size() > kSerialBufferLimit) {
        // Text that never completes a piece is relayed as it stands rather than kept for ever.
        const std::string all(v_.SerialBuffer.view());
        v_.SerialBuffer.clear();
        SendtoIP(all);
    }
}

void Server::tmrCmndChk_Timer() {
    BumpIdleTicks();
    if (v_.SerialBuffer.empty()) {
        p_.timers.CmndChk.SetEnabled(false);
        p_.view.SetLampColour(Lamp::Serial, kColourRed);
    } else {
        DrainSerial(true);
    }
    if (v_.IdleTicks > kSerialCleanupTicks) {
        v_.IdleTicks = 0;
        v_.SerialBuffer.clear();
    }
}

Integer Server::CurrentCommPort() {
    return p_.serial.CommPort();
}
void Server::StartHelpTimer() {
    p_.timers.Help.SetEnabled(true);
}
void Server::StopCmndChkTimer() {
    p_.timers.CmndChk.SetEnabled(false);
}

// ---- records ----

void Server::LogActivity(std::string_view text, Integer comPort) {
    recorder_.LogActivity(text, comPort);
}

void Server::LogIPActivity(std::string_view text, std::string_view address) {
    recorder_.LogIPActivity(text, address);
}

// ---- setup dialog services ----

bool Server::ApplySerialSettings(Integer oldSerialPort) {
    try {
        if (p_.serial.PortOpen()) p_.serial.SetPortOpen(false);
        const std::string settings = v_.BaudRate + ",n,8,1";
        if (!p_.serial.PortOpen()) {
            p_.serial.SetSettings(settings);
            p_.serial.SetCommPort(v_.SerialPort);
            p_.serial.SetPortOpen(true);
        }
        p_.view.SetCaption(Label::SerialStatus, "Router Serial Activity [COM " +
                                                    std::to_string(v_.SerialPort) + " - " +
                                                    v_.BaudRate + " Baud]");
        return true;
    } catch (const ComponentError& e) {
        p_.view.Report("Server Error", ErrorText("Switcher Server Error", e));
        v_.SerialPort = oldSerialPort;
        return false;
    }
}

void Server::ApplyTcpPort() {
    try {
        mnuDisconnectAllClients_Click();
        p_.sockets.MoveListener(v_.TcpPort);
        v_.ClientSlotCount = 0;
        v_.ConnectionCount = 0;
        p_.view.SetCaption(Label::RcvMsg,
                           "Processing TCP/IP Message [Port " + std::to_string(v_.TcpPort) + "]");
        p_.view.SetToolTip(Label::RcvMsg,
                           "Listening for message on Port " + std::to_string(v_.TcpPort));
    } catch (const ComponentError& e) {
        p_.view.Report("Server Error", ErrorText("IP Port Error", e));
    }
}

std::string Server::SerialSettingsText() const {
    return p_.serial.Settings();
}

}  // namespace qv
