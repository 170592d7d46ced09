// The switcher link: units to the serial port, its output into the framing.
#include <algorithm>

#include "core/server.h"

namespace qv {

void Server::OpenSerialPort() {
    p_.serial.SetSettings(SerialSettingsFor(settings_.BaudRate));
    p_.serial.SetCommPort(settings_.SerialPort);
    p_.serial.SetPortOpen(true);
}

void Server::TcptoSerial(std::string_view text) {
    ++state_.Counters.UnitsForwarded;
    try {
        // The lamp stays red while the link is down.
        if (state_.SerialLink != SerialLinkState::Down) SerialLampOn();
        state_.IdleTicks = 0;
        for (char c : text) p_.serial.Output(c);
    } catch (const ComponentError& e) {
        // While the link is down one report says so; every unit would repeat it.
        if (state_.SerialLink == SerialLinkState::Down && sendErrorReported_) return;
        sendErrorReported_ = state_.SerialLink == SerialLinkState::Down;
        view_.Report("Serial Send Error", ErrorText("Error Sending Message to serial port", e));
    }
}

void Server::OnComm(Integer commEvent) {
    if (commEvent != kCommEventReceive) return;
    SerialLampOn();
    std::string work;
    try {
        while (p_.serial.InBufferCount() > 0) {
            work += p_.serial.Input();
            state_.IdleTicks = 0;
        }
    } catch (const ComponentError&) {
        // What was read stays; the port's loss is reported through PortLost.
    }
    line_.SerialBuffer.append(work);
    p_.timers.CmndChk.SetEnabled(true);
    BeginRun();
    DrainSerial(line_, settings_.PassThruMode, state_.IdleTicks, false, *this);
    EndRun();
}

void Server::BeginRun() {
    inRun_ = true;
    p_.sockets.HoldOutput();
    recorder_.Hold();
}

void Server::EndRun() {
    inRun_ = false;
    // The bytes first: the lamp and the records of the run come after its output has left.
    p_.sockets.SendHeldOutput();
    if (lampAtRunEnd_) {
        lampAtRunEnd_ = false;
        NetworkLampOn(false);
    }
    recorder_.Release();
    TrimFreeSlots();  // a client that stopped reading may have been put off
}

void Server::PortLost(const ComponentError& error) {
    if (state_.SerialLink != SerialLinkState::Open) return;  // reported already
    ++state_.Counters.SerialLinkLosses;
    view_.Report("Server Error", ErrorText("Switcher Server Error", error));
    SerialLinkDown();
}

void Server::SerialLinkOpened() {
    p_.timers.SerialRetry.SetEnabled(false);
    serialRetryMs_ = kSerialRetryFirstMs;
    sendErrorReported_ = false;
    if (state_.SerialLink == SerialLinkState::Open) return;
    state_.SerialLink = SerialLinkState::Open;
    StatusChanged();
}

void Server::SerialLinkDown() {
    // Tries the port as the serial control holds it: the same port with the same settings.
    serialRetryMs_ = kSerialRetryFirstMs;
    p_.timers.SerialRetry.SetInterval(serialRetryMs_);
    p_.timers.SerialRetry.SetEnabled(true);
    view_.SetLampColour(Lamp::Serial, kColourRed);
    if (state_.SerialLink == SerialLinkState::Down) return;
    state_.SerialLink = SerialLinkState::Down;
    StatusChanged();
}

void Server::DeviceMayBeBack() {
    // Tried now rather than at the next back-off step; a failure keeps the steps as they were.
    if (state_.SerialLink == SerialLinkState::Down) RetrySerialLink();
}

void Server::RetrySerialLink() {
    if (state_.SerialLink != SerialLinkState::Down) {
        p_.timers.SerialRetry.SetEnabled(false);
        return;
    }
    try {
        if (!p_.serial.PortOpen()) p_.serial.SetPortOpen(true);
    } catch (const ComponentError&) {
        // Still away: the loss was reported once; try again a little later.
        if (serialRetryMs_ < kSerialRetryMaxMs) {
            serialRetryMs_ = std::min(serialRetryMs_ * 2, kSerialRetryMaxMs);
            p_.timers.SerialRetry.SetInterval(serialRetryMs_);
        }
        return;
    }
    SerialLinkOpened();
    view_.Report("Switcher Link", "The switcher link on COM " +
                                      std::to_string(p_.serial.CommPort()) + " is open again");
}

void Server::SwitcherTick() {
    BumpIdleTicks();
    if (line_.SerialBuffer.empty()) {
        p_.timers.CmndChk.SetEnabled(false);
        view_.SetLampColour(Lamp::Serial, kColourRed);
    } else {
        BeginRun();
        DrainSerial(line_, settings_.PassThruMode, state_.IdleTicks, true, *this);
        EndRun();
    }
    SerialCleanup(line_, state_.IdleTicks);
}

void Server::HelpMenuTimeout() {
    line_.HelpMenuActive = 0;
    p_.timers.Help.SetEnabled(false);
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

std::string Server::SerialSettingsText() const {
    return p_.serial.Settings();
}

}  // namespace qv
