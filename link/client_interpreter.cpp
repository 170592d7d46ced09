#include "link/client_interpreter.h"

#include "link/unit_table.h"

namespace qv {

bool CheckPassword(ClientSlot& slot, Integer index, const ClientRules& rules, ClientLink& link) {
    TextBuffer& b = slot.ClientBuffer;
    const std::size_t n = rules.Password.size();
    if (b.size() < n) return false;
    if (b.view().substr(0, n) == rules.Password) {
        slot.LoggedIn = true;
        b.consume(n);
        link.PasswordChecked(index, true);
        link.SendtoSingleIP(kLoginOk, index);
    } else {
        b.clear();
        link.PasswordChecked(index, false);
        link.SendtoSingleIP(kLoginInvalid, index);
    }
    return true;
}

bool DecodeTcpMessage(ClientSlot& slot, Integer index, const ClientRules& rules, ClientLink& link) {
    if (!slot.LoggedIn) return CheckPassword(slot, index, rules, link);
    TextBuffer& b = slot.ClientBuffer;
    if (b.empty()) return false;

    if (rules.PassThruMode) {
        if (!link.LineHasRoom(b.size())) return false;
        const std::string all(b.view());
        link.TcptoSerial(all);
        b.clear();
        return true;
    }

    const std::size_t length = UnitLength(b.view());
    if (length == kNoUnit) {
        b.consume(1);
        return true;
    }
    const bool whole = length == kWholeBuffer;
    const std::size_t need = whole ? b.size() : length;
    if (b.size() < need) return false;
    if (!link.LineHasRoom(need)) return false;

    const std::string unit(whole ? b.view() : b.view().substr(0, need));
    link.TcptoSerial(unit);
    link.LogIPActivity(unit, link.PeerAddress(index));
    b.consume(unit.size());
    return true;
}

}  // namespace qv
