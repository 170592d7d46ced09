// The switcher framing: the switcher's output cut into the pieces relayed to the clients,
// and the pacing rules that decide when a piece is complete.
//
// Pieces, tried in this order on the front of SerialBuffer (normal mode):
//
//   1 frame           CAN anywhere or EM first; kFrameLength characters from the marker;
//                     text before a CAN is discarded
//   2 acknowledgement BEL; the first kAckLength characters of the buffer
//   3 text before ESC everything before an ESC that is not first
//   3 ready screen    the buffer begins with ReadyPrompt, ESC "[2J" ESC "[HQMT READY>"
//                     (kReadyPromptLength characters), recorded as "QMT READY>"
//   3 help menu       ESC first, kReadyPromptLength or more characters, not the ready
//                     screen: help-menu mode, recorded as "Sending Help Menu", nothing removed
//   4 OK reply        "OK" CR LF
//   5 line            up to and including the first CR LF; not recorded in help-menu mode,
//                     the line holding "Fx31)" ends that mode
//
// A marker (CAN/EM, BEL, ESC) counts when it is first and help-menu mode is off, or anywhere
// once IdleTicks has reached kMarkerQuietTicks. In pass-through mode the whole buffer is
// relayed unrecorded.
//
// Pacing, in ticks of the 20 ms switcher timer (IdleTicks counts ticks without traffic):
//   kMarkerQuietTicks    11   a marker further in counts once the line has been this quiet
//   kSerialCleanupTicks  500  a buffer that has waited this long is discarded
//   kSerialBacklogBytes  1024 a quiet tick that finds more than this works it all off at once
//   kSerialBufferLimit   64 KiB text that never completes a piece is relayed as it stands
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/text_buffer.h"
#include "base/types.h"

namespace qv {

constexpr std::size_t kFrameLength = 10;        // marker, 9 characters of crosspoint status
constexpr std::size_t kAckLength = 4;           // e.g. BEL "ACK"
constexpr std::size_t kReadyPromptLength = 17;  // ESC "[2J" ESC "[HQMT READY>"
constexpr std::size_t kReadyPromptTextAt = 7;   // "QMT READY>" starts after the two escapes
constexpr std::size_t kReadyPromptTextLength = 10;

constexpr Integer kMarkerQuietTicks = 11;
constexpr Integer kSerialCleanupTicks = 500;
// The switcher's own output never leaves this much unframed, so more is noise or lost framing.
constexpr std::size_t kSerialBacklogBytes = 1024;
constexpr std::size_t kSerialBufferLimit = 64 * 1024;

inline constexpr std::string_view kHelpMenuEnd = "Fx31)";
inline constexpr std::string_view kHelpMenuRecord = "Sending Help Menu";

// The switcher's ready screen: clear screen, cursor home, prompt.
inline std::string MakeReadyPrompt() {
    return "\x1b[2J\x1b[HQMT READY>";
}

// The switcher line's state.
struct SwitcherLine {
    TextBuffer SerialBuffer;
    Integer HelpMenuActive = 0;  // -1 while the switcher prints its help menu
    std::string ReadyPrompt;
};

// What the framing needs from the server.
class SwitcherLink {
  public:
    virtual ~SwitcherLink() = default;
    // Relays to every logged-in client; traffic sets IdleTicks to 0.
    virtual void SendtoIP(std::string_view text) = 0;
    virtual void LogActivity(std::string_view text, Integer comPort) = 0;
    virtual Integer CurrentCommPort() = 0;
    virtual void StartHelpTimer() = 0;    // enable tmrHelp
    virtual void StopCmndChkTimer() = 0;  // disable tmrCmndChk
};

// One step on SerialBuffer (not empty). Returns true when it consumed text.
bool DecodeSerialMessage(SwitcherLine& line, bool passThru, const Integer& IdleTicks,
                         SwitcherLink& link);

// Works off every complete piece, in order. fromTick: called from the switcher timer's tick
// rather than on arrival (a quiet backlog is then worked off whole).
void DrainSerial(SwitcherLine& line, bool passThru, Integer& IdleTicks, bool fromTick,
                 SwitcherLink& link);

// After a tick: a buffer that has been quiet past kSerialCleanupTicks is discarded.
void SerialCleanup(SwitcherLine& line, Integer& IdleTicks);

}  // namespace qv
