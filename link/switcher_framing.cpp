#include "link/switcher_framing.h"

#include "link/unit_table.h"

namespace qv {
namespace {

using ctl::BEL, ctl::CAN, ctl::EM, ctl::ESC;
constexpr std::string_view kOkReply = "OK\r\n";

// Position from 1 of the first c in the buffer; 0 when there is none.
std::size_t Position(const TextBuffer& b, char c) {
    const std::size_t p = b.view().find(c);
    return p == std::string_view::npos ? 0 : p + 1;
}

}  // namespace

bool DecodeSerialMessage(SwitcherLine& line, bool passThru, const Integer& IdleTicks,
                         SwitcherLink& link) {
    TextBuffer& b = line.SerialBuffer;
    if (b.empty()) return false;
    const std::size_t before = b.size();
    const auto consumed = [&] { return b.size() < before; };

    if (passThru) {
        const std::string all(b.view());
        link.SendtoIP(all);
        b.clear();
        return true;
    }

    const auto counts = [&](std::size_t p) {
        if (p == 0) return false;
        if (p == 1 && line.HelpMenuActive == 0) return true;
        return IdleTicks >= kMarkerQuietTicks;
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
        if (b.size() < kFrameLength) return consumed();
        relay(kFrameLength, true);
        return true;
    }

    // Acknowledgements: the buffer's first four characters, wherever the BEL stands.
    if (counts(Position(b, BEL))) {
        if (b.size() < kAckLength) return consumed();
        relay(kAckLength, true);
        return true;
    }

    // Escapes.
    const std::size_t esc = Position(b, ESC);
    if (counts(esc)) {
        if (esc > 1) relay(esc - 1, true);
        if (b.size() < kReadyPromptLength) return consumed();
        if (b.view().substr(0, kReadyPromptLength) == line.ReadyPrompt) {
            const std::string screen(b.view().substr(0, kReadyPromptLength));
            link.SendtoIP(screen);
            link.LogActivity(screen.substr(kReadyPromptTextAt, kReadyPromptTextLength),
                             link.CurrentCommPort());
            b.consume(kReadyPromptLength);
        } else {
            line.HelpMenuActive = -1;
            link.StartHelpTimer();
            link.LogActivity(kHelpMenuRecord, link.CurrentCommPort());
        }
        if (b.size() < 2) return consumed();
    }

    // OK reply.
    if (b.view().substr(0, kOkReply.size()) == kOkReply) relay(kOkReply.size(), true);

    // Lines.
    const std::size_t crlf = b.view().find("\r\n");
    if (crlf == std::string_view::npos) return consumed();
    const std::size_t len = crlf + 2;
    const std::string text(b.view().substr(0, len));
    link.SendtoIP(text);
    if (line.HelpMenuActive == 0) {
        link.LogActivity(text, link.CurrentCommPort());
    } else if (text.find(kHelpMenuEnd) != std::string::npos) {
        line.HelpMenuActive = 0;
    }
    if (b.size() > len) {
        b.consume(len);
    } else {
        b.clear();
        link.StopCmndChkTimer();
    }
    return true;
}

void DrainSerial(SwitcherLine& line, bool passThru, Integer& IdleTicks, bool fromTick,
                 SwitcherLink& link) {
    // Every complete piece is worked off at once; a step that consumes nothing ends the run.
    // In a quiet backlog the relays of this very run are not new traffic: each noise-led piece
    // would otherwise wait kMarkerQuietTicks more ticks, and well-formed frames behind a burst
    // of noise would wait minutes.
    TextBuffer& b = line.SerialBuffer;
    const bool backlog =
        fromTick && IdleTicks >= kMarkerQuietTicks && b.size() > kSerialBacklogBytes;
    const Integer quiet = IdleTicks;
    bool relayed = false;
    while (!b.empty() && DecodeSerialMessage(line, passThru, IdleTicks, link)) {
        if (backlog && IdleTicks == 0) {
            relayed = true;
            IdleTicks = quiet;
        }
    }
    if (relayed) IdleTicks = 0;
    if (b.size() > kSerialBufferLimit) {
        // Text that never completes a piece is relayed as it stands rather than kept for ever.
        const std::string all(b.view());
        b.clear();
        link.SendtoIP(all);
    }
}

void SerialCleanup(SwitcherLine& line, Integer& IdleTicks) {
    if (IdleTicks > kSerialCleanupTicks) {
        IdleTicks = 0;
        line.SerialBuffer.clear();
    }
}

}  // namespace qv
