#include "link/client_interpreter.h"

namespace qv {
namespace {

constexpr char CR = 13, EOT = 4, BS = 8, HT = 9, ACK = 6, DC2 = 18, DC3 = 19, DC4 = 20, CAN = 24,
               EM = 25;

}  // namespace

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

    std::size_t need = 0;
    bool whole = false;
    switch (b[0]) {
        case CR:
            need = 1;
            break;
        case DC4:
            need = 7;
            break;
        case EOT:
            if (b.size() < 2) return false;
            if (b[1] == 'I')
                need = 4;
            else if (b[1] == 'T')
                need = 7;
            else
                need = 2, whole = true;
            break;
        case BS:
            need = 1;
            break;
        case DC3:
        case DC2:
            need = 5;
            break;
        case HT:
        case CAN:
        case EM:
        case ACK:
            need = 4;
            break;
        default:
            b.consume(1);
            return true;
    }
    if (b.size() < need) return false;
    if (!link.LineHasRoom(whole ? b.size() : need)) return false;

    const std::string unit(whole ? b.view() : b.view().substr(0, need));
    link.TcptoSerial(unit);
    link.LogIPActivity(unit, link.PeerAddress(index));
    b.consume(unit.size());
    return true;
}

}  // namespace qv
