// The switcher link: units to the serial port, its output into the framing.
#include "core/server.h"

namespace qv {

void Server::OpenSerialPort() {
    p_.serial.SetSettings(SerialSettingsFor(settings_.BaudRate));
    p_.serial.SetCommPort(settings_.SerialPort);
    p_.serial.SetPortOpen(true);
}

void Server::TcptoSerial(std::string_view text) {
    try {
        SerialLampOn();
        state_.IdleTicks = 0;
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
            state_.IdleTicks = 0;
        }
    } catch (const ComponentError&) {
        // What was read stays; the port's loss is reported through PortLost.
    }
    line_.SerialBuffer.append(work);
    p_.timers.CmndChk.SetEnabled(true);
    DrainSerial(line_, settings_.PassThruMode, state_.IdleTicks, false, *this);
}

void Server::PortLost(const ComponentError& error) {
    p_.view.Report("Server Error", ErrorText("Switcher Server Error", error));
}

void Server::tmrCmndChk_Timer() {
    BumpIdleTicks();
    if (line_.SerialBuffer.empty()) {
        p_.timers.CmndChk.SetEnabled(false);
        p_.view.SetLampColour(Lamp::Serial, kColourRed);
    } else {
        DrainSerial(line_, settings_.PassThruMode, state_.IdleTicks, true, *this);
    }
    SerialCleanup(line_, state_.IdleTicks);
}

void Server::tmrHelp_Timer() {
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
