// The client interpreter: a client's login and the command units cut out of its text.
//
// Units are cut by the unit table (link/unit_table.h).
//
// A client awaiting its password has its first len(Password) characters compared with it.
// In pass-through mode the whole buffer is forwarded unrecorded.
#pragma once

#include <string>
#include <string_view>

#include "base/text_buffer.h"
#include "base/types.h"

namespace qv {

inline constexpr std::string_view kLoginOk = "Login Sucessful\r\n";
inline constexpr std::string_view kLoginInvalid = "Invalid password, Please try again>";
inline constexpr std::string_view kPasswordPrompt = "Enter Password>";

// One client slot: what the client has sent and not yet worked off, and its login.
struct ClientSlot {
    TextBuffer ClientBuffer;
    bool LoggedIn = false;
};

// The two settings the interpreter obeys.
struct ClientRules {
    const std::string& Password;
    bool PassThruMode = false;
};

// What the client interpreter needs from the server.
class ClientLink {
  public:
    virtual ~ClientLink() = default;
    virtual void TcptoSerial(std::string_view unit) = 0;
    virtual void SendtoSingleIP(std::string_view text, Integer index) = 0;
    virtual void LogIPActivity(std::string_view text, std::string_view address) = 0;
    virtual std::string PeerAddress(Integer index) = 0;
    // A password was checked, and was right or wrong.
    virtual void PasswordChecked(Integer index, bool correct) = 0;
    // Whether the switcher's line can take n more characters now. A unit goes whole or waits
    // in the client's buffer.
    virtual bool LineHasRoom(std::size_t /*n*/) { return true; }
};

// One step for client slot index (its buffer is not empty). Returns true when the step
// consumed text or changed the login state, i.e. when another step may do more; a complete
// unit the line has no room for stays, and the step returns false.
bool DecodeTcpMessage(ClientSlot& slot, Integer index, const ClientRules& rules, ClientLink& link);
// The login step of a client awaiting its password.
bool CheckPassword(ClientSlot& slot, Integer index, const ClientRules& rules, ClientLink& link);

}  // namespace qv
