#include "link/decode_vantor.h"

namespace qv {
namespace {

constexpr char CR = 13, EOT = 4, BS = 8, HT = 9, ACK = 6, BEL = 7, DC2 = 18, DC3 = 19, DC4 = 20,
               CAN = 24, EM = 25, ESC = 27;

// Position from 1 of the first c in the buffer; 0 when there is none.
std::size_t Position(const TextBuffer& b, char c) {
    const std::size_t p = b.view().find(c);
    return p == std::string_view::npos ? 0 : p + 1;
}

}  // namespace

bool CheckPassword(Variables& v, Integer index, ClientLink& link) {
    TextBuffer& b = v.ClientBuffer[index];
    const std::size_t n = v.Password.size();
    if (b.size() < n) return false;
    if (b.view().substr(0, n) == v.Password) {
        v.LoggedIn[index] = true;
        b.consume(n);
        link.SendtoSingleIP(kLoginOk, index);
    } else {
        b.clear();
        link.SendtoSingleIP(kLoginInvalid, index);
    }
    return true;
}

bool DecodeTcpMessage(Variables& v, Integer index, ClientLink& link) {
    if (!v.LoggedIn[index]) return CheckPassword(v, index, link);
    TextBuffer& b = v.ClientBuffer[index];
    if (b.empty()) return false;

    if (v.PassThruMode) {
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

    const std::string unit(whole ? b.view() : b.view().substr(0, need));
    link.TcptoSerial(unit);
    link.LogIPActivity(unit, link.PeerAddress(index));
    b.consume(unit.size());
    return true;
}

bool DecodeSerialMessage(Variables& v, SwitcherLink& link) {
    TextBuffer& b = v.SerialBuffer;
    if (b.empty()) return false;
    const std::size_t before = b.size();
    const auto consumed = [&] { return b.size() < before; };

    if (v.PassThruMode) {
        const std::string all(b.view());
        link.SendtoIP(all);
        b.clear();
        return true;
    }

    const auto counts = [&](std::size_t p) {
        if (p == 0) return false;
        if (p == 1 && v.HelpMenuActive == 0) return true;
        return v.IdleTicks >= kMarkerQuietTicks;
    };
    const auto relay = [&](std::size_t n, bool record) {
        const std::string piece(b.view().substr(0, n));
        link.SendtoIP(piece);
        if (record) link.LogActivity(piece, link.CurrentCommPort());
        b.consume(n);
    };

    // Frames.
    const std::size_t frame = b[0] == EM ? 1 : Position(b, CAN);
    if (counts(frame)) {
        if (frame > 1) b.consume(frame - 1);
        if (b.size() < 10) return consumed();
        relay(10, true);
        return true;
    }

    // Acknowledgements: the buffer's first four characters, wherever the BEL stands.
    if (counts(Position(b, BEL))) {
        if (b.size() < 4) return consumed();
        relay(4, true);
        return true;
    }

    // Escapes.
    const std::size_t esc = Position(b, ESC);
    if (counts(esc)) {
        if (esc > 1) relay(esc - 1, true);
        if (b.size() < 17) return consumed();
        if (b.view().substr(0, 17) == v.ReadyPrompt) {
            const std::string screen(b.view().substr(0, 17));
            link.SendtoIP(screen);
            link.LogActivity(screen.substr(7, 10), link.CurrentCommPort());
            b.consume(17);
        } else {
            v.HelpMenuActive = -1;
            link.StartHelpTimer();
            link.LogActivity(kHelpMenuRecord, link.CurrentCommPort());
        }
        if (b.size() < 2) return consumed();
    }

    // OK reply.
    if (b.view().substr(0, 4) == "OK\r\n") relay(4, true);

    // Lines.
    const std::size_t crlf = b.view().find("\r\n");
    if (crlf == std::string_view::npos) return consumed();
    const std::size_t len = crlf + 2;
    const std::string line(b.view().substr(0, len));
    link.SendtoIP(line);
    if (v.HelpMenuActive == 0) {
        link.LogActivity(line, link.CurrentCommPort());
    } else if (line.find(kHelpMenuEnd) != std::string::npos) {
        v.HelpMenuActive = 0;
    }
    if (b.size() > len) {
        b.consume(len);
    } else {
        b.clear();
        link.StopCmndChkTimer();
    }
    return true;
}

}  // namespace qv
