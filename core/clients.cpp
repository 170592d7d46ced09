// Client connections, their intake and the send routines.
#include "core/server.h"

namespace qv {

// ---- connections ----

void Server::ConnectionRequest(Long requestId) {
    Integer slot = 0;
    const Integer count = ClientSlotCount();
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
            state_.Clients.Grow();
        }
        p_.sockets.Accept(slot, requestId);
    } catch (const ComponentError&) {
        return;  // the connection could not be taken over; the slot stays free
    }
    ClientSession& s = state_.Clients[slot];
    // A reused slot starts clean: the previous client's half-typed text is not inherited.
    s.ClientBuffer.clear();
    s.Address = p_.sockets.PeerAddress(slot);
    s.ConnectedAt = p_.clock.Now();
    s.TakenAtMs = p_.clock.MonotonicMs();
    s.BytesIn = s.BytesOut = 0;
    s.InputEnded = false;
    ++state_.ConnectionCount;
    ShowConnectionCount();
    NetworkLampOn(true);
    LogIPActivity("Client Connection Request", p_.sockets.PeerAddress(slot));
    if (!settings_.Password.empty()) {
        s.LoggedIn = false;
        if (loginTimeoutMs_ > 0 && !p_.timers.LoginWait.Enabled()) {
            p_.timers.LoginWait.SetInterval(kLoginWaitCheckMs);
            p_.timers.LoginWait.SetEnabled(true);
        }
        SendtoSingleIP(kPasswordPrompt, slot);
    } else {
        s.LoggedIn = true;
        ++state_.Counters.Logins;
        SendtoSingleIP(kLoginOk, slot);
    }
}

void Server::Disconnected(Integer index) {
    if (index < 1 || index > ClientSlotCount() || !p_.sockets.Connected(index)) return;
    DropClient(index);
}

void Server::InputEnded(Integer index) {
    if (index < 1 || index > ClientSlotCount() || !p_.sockets.Connected(index)) return;
    ClientSession& s = state_.Clients[index];
    s.InputEnded = true;
    s.LingerFromMs = p_.clock.MonotonicMs();
    if (!p_.timers.Linger.Enabled()) {
        p_.timers.Linger.SetInterval(kLingerCheckMs);
        p_.timers.Linger.SetEnabled(true);
    }
}

void Server::tmrLinger_Timer() {
    const long long now = p_.clock.MonotonicMs();
    bool lingering = false;
    for (int i = 1; i <= ClientSlotCount(); ++i) {
        const ClientSession& s = state_.Clients[i];
        if (!s.InputEnded || !p_.sockets.Connected(i)) continue;
        if (now - s.LingerFromMs >= kInputEndedLingerMs)
            DropClient(static_cast<Integer>(i));
        else
            lingering = true;
    }
    if (!lingering) p_.timers.Linger.SetEnabled(false);
}

void Server::DropClient(Integer index) {
    if (state_.ConnectionCount > 0) --state_.ConnectionCount;
    ShowConnectionCount();
    LogIPActivity("Client Disconnect", p_.sockets.PeerAddress(index));
    try {
        p_.sockets.Close(index);
    } catch (const ComponentError&) {
    }
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

void Server::mnuDisconnectAllClients_Click() {
    const Integer n = ClientSlotCount();
    for (int i = 1; i <= n; ++i) {
        CloseClient(static_cast<Integer>(i));
        p_.sockets.RemoveElement(static_cast<Integer>(i));
    }
    state_.Clients.Reset();
    state_.ConnectionCount = 0;
    ShowConnectionCount();
}

void Server::PasswordChecked(Integer index, bool correct) {
    const std::string& address = state_.Clients[index].Address;
    if (correct) {
        ++state_.Counters.Logins;
        throttle_.Succeeded(address);
        return;
    }
    ++state_.Counters.FailedLogins;
    if (throttle_.Failed(address, p_.clock.MonotonicMs()))
        for (IServerWatch* w : watches_) w->AddressSlowed(address);
}

void Server::tmrLoginWait_Timer() {
    const long long now = p_.clock.MonotonicMs();
    bool waiting = false;
    for (int i = 1; i <= ClientSlotCount(); ++i) {
        const ClientSession& s = state_.Clients[i];
        if (s.LoggedIn || !p_.sockets.Connected(i)) continue;
        if (loginTimeoutMs_ > 0 && now - s.TakenAtMs >= loginTimeoutMs_)
            DropClient(static_cast<Integer>(i));
        else
            waiting = true;
    }
    if (!waiting) p_.timers.LoginWait.SetEnabled(false);
}

std::string Server::PeerAddress(Integer index) {
    return p_.sockets.PeerAddress(index);
}

// ---- sending ----

void Server::WriteTo(Integer index, std::string_view text) {
    // A client whose pending output passed the cap has stopped reading: put it off rather than
    // let it grow the server's memory. A plain failure is left to the disconnect event.
    ClientSession& s = state_.Clients[index];
    s.BytesOut += text.size();
    if (s.InputEnded) s.LingerFromMs = p_.clock.MonotonicMs();  // its answers still come
    if (p_.sockets.Write(index, text) == ISocketArray::WriteResult::Overflow) {
        ++state_.Counters.SlowClientsPutOff;
        DropClient(index);
    }
}

void Server::SendtoIP(std::string_view text) {
    ++state_.Counters.PiecesRelayed;
    // In a run the lamp is lit once, at its end, not restarted for every piece.
    if (inRun_)
        lampAtRunEnd_ = true;
    else
        NetworkLampOn(false);
    state_.IdleTicks = 0;
    const Integer n = ClientSlotCount();
    for (int i = 1; i <= n; ++i)
        if (state_.Clients[i].LoggedIn && p_.sockets.Connected(i)) WriteTo(i, text);
}

void Server::SendtoSingleIP(std::string_view text, Integer index) {
    NetworkLampOn(false);
    state_.IdleTicks = 0;
    if (index >= 1 && index <= ClientSlotCount() && p_.sockets.Connected(index))
        WriteTo(index, text);
}

// ---- intake ----

void Server::BumpIdleTicks() {
    if (state_.IdleTicks < kIntegerMax) ++state_.IdleTicks;
}

void Server::DataArrival(Integer index) {
    if (index < 1 || index > ClientSlotCount()) return;
    try {
        NetworkLampOn(true);
        const std::string text = p_.sockets.ReadAll(index);
        if (text.empty()) return;
        state_.Clients[index].ClientBuffer.append(text);
        state_.Clients[index].BytesIn += text.size();
        state_.IdleTicks = 0;
        p_.timers.DecodeTcp.SetEnabled(true);
    } catch (const ComponentError& e) {
        view_.Report("TCP/IP Message Error", ErrorText("Error Interpreting TCP Message Data", e));
        return;
    }
    BeginClientRun();
    DrainClient(index);
    EndClientRun();
}

void Server::BeginClientRun() {
    recorder_.Hold();
}

void Server::EndClientRun() {
    // The units' bytes reach the switcher before their records are written.
    p_.serial.SendOutput();
    recorder_.Release();
}

bool Server::LoginHeld(Integer index) {
    const ClientSession& s = state_.Clients[index];
    if (s.LoggedIn) return false;
    const long long now = p_.clock.MonotonicMs();
    return throttle_.CheckAllowedAt(s.Address, now) > now;
}

void Server::DrainClient(Integer index) {
    // Every complete unit is worked off at once, in order; an incomplete one waits. A password
    // from an address being slowed waits in the buffer too, until the tick that may check it.
    if (LoginHeld(index)) return;
    const ClientRules rules{settings_.Password, settings_.PassThruMode};
    try {
        while (!state_.Clients[index].ClientBuffer.empty() &&
               DecodeTcpMessage(state_.Clients[index], index, rules, *this)) {
        }
    } catch (const std::exception&) {
        // An interpreter failure must not stop the other clients' service.
        state_.Clients[index].ClientBuffer.clear();
    }
}

void Server::tmrDecodeTcp_Timer() {
    BumpIdleTicks();
    BeginClientRun();
    int withText = 0;
    const Integer n = ClientSlotCount();
    // A unit may put clients off or (Disconnect All) empty the table: the bound is re-read.
    for (int i = 1; i <= n && i <= ClientSlotCount(); ++i) {
        if (state_.Clients[i].ClientBuffer.empty()) continue;
        ++withText;
        DrainClient(i);
    }
    if (state_.IdleTicks > kIdleFlushTicks) {
        state_.IdleTicks = 0;
        for (int i = 1; i <= ClientSlotCount(); ++i) {
            if (LoginHeld(i)) continue;  // held text is an attempt still to be checked
            state_.Clients[i].ClientBuffer.clear();
            if (!state_.Clients[i].LoggedIn) SendtoSingleIP(kLoginInvalid, i);
        }
    }
    EndClientRun();
    if (withText == 0) p_.timers.DecodeTcp.SetEnabled(false);
}

}  // namespace qv
