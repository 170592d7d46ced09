// Client connections, their intake and the send routines.
#include <algorithm>
#include <utility>
#include <vector>

#include "core/server.h"

namespace qv {

// ---- connections ----

bool Server::TakesConnectionFrom(const std::string& address) {
    const long long now = p_.clock.MonotonicMs();
    if (settings_.Password.empty() || !throttle_.IsSlowed(address, now)) return true;
    const std::string block = AddressBlock(address);
    int awaiting = 0;
    for (int i = 1; i <= ClientSlotCount(); ++i) {
        const ClientSession& s = state_.Clients[i];
        if (!s.LoggedIn && p_.sockets.Connected(i) && AddressBlock(s.Address) == block) ++awaiting;
    }
    if (awaiting < kSlowedAddressMaxAwaiting) return true;
    // Said once a minute per address at most; the table forgets what is older than that.
    if (refusalSaid_.size() >= kThrottleTableCap)
        std::erase_if(refusalSaid_,
                      [&](const auto& kv) { return now - kv.second >= kRefusalReportMs; });
    const auto said = refusalSaid_.find(block);
    if ((said == refusalSaid_.end() || now - said->second >= kRefusalReportMs) &&
        refusalSaid_.size() < kThrottleTableCap) {
        refusalSaid_[block] = now;
        for (IServerWatch* w : watches_) w->ConnectionRefused(address);
    }
    return false;
}

void Server::PutOffLongestAwaiting() {
    int awaiting = 0;
    Integer longest = 0;
    for (int i = 1; i <= ClientSlotCount(); ++i) {
        const ClientSession& s = state_.Clients[i];
        if (s.LoggedIn || !p_.sockets.Connected(i)) continue;
        ++awaiting;
        if (longest == 0 || s.TakenAtMs < state_.Clients[longest].TakenAtMs)
            longest = static_cast<Integer>(i);
    }
    if (awaiting >= kMaxAwaitingLogin && longest != 0) DropClient(longest);
}

// Called where no caller holds a slot: at the end of the handlers that put clients off.
void Server::TrimFreeSlots() {
    Integer n = ClientSlotCount();
    while (n > 0 && !p_.sockets.Connected(n)) {
        state_.Clients.Shrink();
        --n;
    }
    SlotFreed(n + 1);  // an int: past the last slot number is no slot number
}

void Server::ConnectionRequest(Long requestId) {
    // Refused before it has a slot: no greeting, no count, no record.
    if (!TakesConnectionFrom(p_.sockets.RequestAddress(requestId))) {
        p_.sockets.Refuse(requestId);
        return;
    }
    if (!settings_.Password.empty()) PutOffLongestAwaiting();
    Integer slot = 0;
    const Integer count = ClientSlotCount();
    for (int i = freeFrom_; i <= count; ++i) {
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
            p_.sockets.CreateElement(slot);  // may be there still, from before the table shrank
            elementsMade_ = std::max(elementsMade_, slot);
            state_.Clients.Grow();
        }
        p_.sockets.Accept(slot, requestId);
    } catch (const ComponentError&) {
        return;  // the connection could not be taken over; the slot stays free
    }
    freeFrom_ = slot + 1;
    ClientSession& s = state_.Clients[slot];
    // A reused slot starts clean: the previous client's half-typed text is not inherited.
    s.ClientBuffer.clear();
    s.Address = p_.sockets.PeerAddress(slot);
    s.ConnectedAt = p_.clock.Now();
    s.TakenAtMs = p_.clock.MonotonicMs();
    s.BytesIn = s.BytesOut = 0;
    s.InputEnded = false;
    s.ReadingPaused = false;
    s.AttemptSeq = 0;
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
    TrimFreeSlots();
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

void Server::CheckLingeringClients() {
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
    TrimFreeSlots();
}

void Server::SlotFreed(int index) {
    freeFrom_ = std::min(freeFrom_, index);
}

void Server::DropClient(Integer index) {
    SlotFreed(index);
    if (state_.ConnectionCount > 0) --state_.ConnectionCount;
    ShowConnectionCount();
    LogIPActivity("Client Disconnect", p_.sockets.PeerAddress(index));
    try {
        p_.sockets.Close(index);
    } catch (const ComponentError&) {
    }
    state_.Clients[index].ClientBuffer.release();
}

void Server::CloseClient(Integer index) {
    // The operator's side ends the connection: recorded, closed; the count is the caller's.
    SlotFreed(index);
    try {
        if (p_.sockets.Connected(index)) {
            LogIPActivity("Client Disconnect", p_.sockets.PeerAddress(index));
            p_.sockets.Close(index);
        }
    } catch (const ComponentError&) {
    }
}

void Server::DisconnectAllClients() {
    // Every element goes, also those above the table's end once it shrank.
    const Integer n = std::max(ClientSlotCount(), elementsMade_);
    for (int i = 1; i <= n; ++i) {
        CloseClient(static_cast<Integer>(i));
        p_.sockets.RemoveElement(static_cast<Integer>(i));
    }
    elementsMade_ = 0;
    freeFrom_ = 1;
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

void Server::CheckLoginWaits() {
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
    TrimFreeSlots();
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
    // A write may put a client off, and the table may shrink under the loop.
    for (int i = 1; i <= ClientSlotCount(); ++i)
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

std::size_t Server::HeldTextMax(Integer index) const {
    const ClientSession& s = state_.Clients[index];
    return s.LoggedIn ? kHeldTextMaxLoggedIn : kHeldTextMaxAwaitingLogin;
}

void Server::PaceReading(Integer index) {
    if (index < 1 || index > ClientSlotCount() || !p_.sockets.Connected(index)) return;
    ClientSession& s = state_.Clients[index];
    const bool full = s.ClientBuffer.size() >= HeldTextMax(index);
    if (full == s.ReadingPaused) return;
    s.ReadingPaused = full;
    p_.sockets.SetReading(index, !full);
}

void Server::DataArrival(Integer index) {
    if (index < 1 || index > ClientSlotCount()) return;
    try {
        NetworkLampOn(true);
        ClientSession& s = state_.Clients[index];
        const std::size_t held = s.ClientBuffer.size();
        const std::size_t most = HeldTextMax(index);
        if (held >= most) {
            PaceReading(index);  // what it sends waits in the network until there is room
            return;
        }
        const std::string text = p_.sockets.ReadAll(index, most - held);
        if (text.empty()) return;
        if (!s.LoggedIn && s.ClientBuffer.empty()) s.AttemptSeq = ++attemptSeq_;
        s.ClientBuffer.append(text);
        s.BytesIn += text.size();
        state_.IdleTicks = 0;
        p_.timers.DecodeTcp.SetEnabled(true);
    } catch (const ComponentError& e) {
        view_.Report("TCP/IP Message Error", ErrorText("Error Interpreting TCP Message Data", e));
        return;
    }
    BeginClientRun();
    DrainClient(index);
    EndClientRun();
    PaceReading(index);
}

void Server::BeginClientRun() {
    recorder_.Hold();
}

void Server::EndClientRun() {
    // The units' bytes reach the switcher before their records are written.
    p_.serial.SendOutput();
    recorder_.Release();
    TrimFreeSlots();
}

bool Server::LoginHeld(Integer index) {
    const ClientSession& s = state_.Clients[index];
    if (s.LoggedIn) return false;
    const long long now = p_.clock.MonotonicMs();
    return throttle_.CheckAllowedAt(s.Address, now) > now;
}

bool Server::LineHasRoom(std::size_t n) {
    if (p_.serial.OutputRoom() >= n) return true;
    lineFull_ = true;
    return false;
}

void Server::DrainClient(Integer index) {
    // Every complete unit is worked off at once, in order; an incomplete one waits, and so does
    // one the switcher's line has no room for. A password from an address being slowed waits
    // in the buffer too, until the tick that may check it.
    if (LoginHeld(index)) return;
    const ClientRules rules{settings_.Password, settings_.PassThruMode};
    ClientSession& s = state_.Clients[index];
    try {
        while (!s.ClientBuffer.empty() && DecodeTcpMessage(s, index, rules, *this)) {
        }
    } catch (const std::exception&) {
        // An interpreter failure must not stop the other clients' service.
        s.ClientBuffer.clear();
    }
    if (s.ClientBuffer.empty()) s.ClientBuffer.release();
}

void Server::ClientTick() {
    BumpIdleTicks();
    BeginClientRun();
    lineFull_ = false;
    int withText = 0;
    const Integer n = ClientSlotCount();
    // The attempts whose hold has ended are all answered now, in the order they came: a wrong
    // one among them starts the next hold only for attempts still to come.
    const long long now = p_.clock.MonotonicMs();
    std::vector<std::pair<std::uint64_t, Integer>> released;
    for (int i = 1; i <= n; ++i) {
        const ClientSession& s = state_.Clients[i];
        if (s.LoggedIn || s.ClientBuffer.empty()) continue;
        if (throttle_.IsSlowed(s.Address, now) && throttle_.CheckAllowedAt(s.Address, now) <= now)
            released.emplace_back(s.AttemptSeq, static_cast<Integer>(i));
    }
    std::sort(released.begin(), released.end());
    for (const auto& [seq, i] : released) {
        if (i > ClientSlotCount() || state_.Clients[i].LoggedIn) continue;
        try {
            const ClientRules rules{settings_.Password, settings_.PassThruMode};
            if (!state_.Clients[i].ClientBuffer.empty())
                CheckPassword(state_.Clients[i], i, rules, *this);
        } catch (const std::exception&) {
            state_.Clients[i].ClientBuffer.clear();
        }
    }
    // A unit may put clients off or (Disconnect All) empty the table: the bound is re-read.
    for (int i = 1; i <= n && i <= ClientSlotCount(); ++i) {
        if (state_.Clients[i].ClientBuffer.empty()) continue;
        ++withText;
        DrainClient(i);
        PaceReading(i);
    }
    // Text that waits for room on the switcher's line is not idle: it is not flushed.
    if (state_.IdleTicks > kIdleFlushTicks && !lineFull_) {
        state_.IdleTicks = 0;
        for (int i = 1; i <= ClientSlotCount(); ++i) {
            if (LoginHeld(i)) continue;  // held text is an attempt still to be checked
            state_.Clients[i].ClientBuffer.release();
            if (!state_.Clients[i].LoggedIn) SendtoSingleIP(kLoginInvalid, i);
            PaceReading(i);
        }
    }
    EndClientRun();
    if (withText == 0) p_.timers.DecodeTcp.SetEnabled(false);
}

}  // namespace qv
