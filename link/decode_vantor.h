// The two interpreters: client text (login and command units) and switcher output (pieces).
//
// Client units, by the first character of a logged-in client's buffer (normal mode):
//
//   first char          second   needs  unit forwarded
//   CR  (13)            -        1      the CR
//   DC4 (20)            -        7      first 7 characters
//   EOT (4)             "I"      4      first 4 characters
//   EOT (4)             "T"      7      first 7 characters
//   EOT (4)             other    2      the whole buffer
//   BS  (8)             -        1      the BS
//   DC3 (19), DC2 (18)  -        5      first 5 characters
//   HT (9), CAN (24),
//   EM (25), ACK (6)    -        4      first 4 characters
//   anything else       -        1      nothing: the character is dropped
//
// A client awaiting its password has its first len(Password) characters compared with it.
// In pass-through mode the whole buffer is forwarded unrecorded.
//
// Switcher pieces, tried in this order on the front of SerialBuffer (normal mode):
//
//   1 frame          CAN anywhere or EM first; 10 characters from the marker; text before
//                    a CAN is discarded
//   2 acknowledgement BEL; the first 4 characters of the buffer
//   3 text before ESC everything before an ESC that is not first
//   3 ready screen   the buffer begins with ESC "[2J" ESC "[HQMT READY>" (17 characters),
//                    recorded as "QMT READY>"
//   3 help menu      ESC first, 17 or more characters, not the ready screen: help-menu mode,
//                    recorded as "Sending Help Menu", nothing removed
//   4 OK reply       "OK" CR LF
//   5 line           up to and including the first CR LF; not recorded in help-menu mode,
//                    the line holding "Fx31)" ends that mode
//
// A marker (CAN/EM, BEL, ESC) counts when it is first and help-menu mode is off, or anywhere
// once IdleTicks has reached kMarkerQuietTicks.
#pragma once

#include <string>
#include <string_view>

#include "core/variables.h"

namespace qv {

constexpr Integer kMarkerQuietTicks = 11;
inline constexpr std::string_view kLoginOk = "Login Sucessful\r\n";
inline constexpr std::string_view kLoginInvalid = "Invalid password, Please try again>";
inline constexpr std::string_view kPasswordPrompt = "Enter Password>";
inline constexpr std::string_view kHelpMenuEnd = "Fx31)";
inline constexpr std::string_view kHelpMenuRecord = "Sending Help Menu";

// What the client interpreter needs from the server.
class ClientLink {
  public:
    virtual ~ClientLink() = default;
    virtual void TcptoSerial(std::string_view unit) = 0;
    virtual void SendtoSingleIP(std::string_view text, Integer index) = 0;
    virtual void LogIPActivity(std::string_view text, std::string_view address) = 0;
    virtual std::string PeerAddress(Integer index) = 0;
};

// What the switcher interpreter needs from the server.
class SwitcherLink {
  public:
    virtual ~SwitcherLink() = default;
    virtual void SendtoIP(std::string_view text) = 0;
    virtual void LogActivity(std::string_view text, Integer comPort) = 0;
    virtual Integer CurrentCommPort() = 0;
    virtual void StartHelpTimer() = 0;    // enable tmrHelp
    virtual void StopCmndChkTimer() = 0;  // disable tmrCmndChk
};

// One step for client slot index (its buffer is not empty). Returns true when the step
// consumed text or changed the login state, i.e. when another step may do more.
bool DecodeTcpMessage(Variables& v, Integer index, ClientLink& link);
bool CheckPassword(Variables& v, Integer index, ClientLink& link);

// One step on SerialBuffer (not empty). Returns true when it consumed text.
bool DecodeSerialMessage(Variables& v, SwitcherLink& link);

}  // namespace qv
