// The client interpreter fed one client's byte stream cut into random arrival pieces, with a
// random password, login state and pass-through switch (which may flip between steps, as the
// setup dialog can flip it).
//
// Invariants: what reaches the switcher is, in order, a subsequence of what the client sent,
// each unit taken from the front of the unworked text, none twice; in normal mode every unit
// matches a row of the unit table and is recorded once, exactly as forwarded; in pass-through
// mode the whole buffer goes unrecorded; a client that is not logged in forwards nothing, and
// it logs in only by sending the password first; a step that reports no progress changed
// nothing.
#include "link/client_interpreter.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "link/unit_table.h"

using namespace qv;

namespace {

constexpr std::string_view kOpeners = "\r\x14\x04\x08\x13\x12\x09\x18\x19\x06";
constexpr Integer kIndex = 3;
const std::string kPeer = "192.0.2.7";

// True when unit is a complete row of the unit table for a buffer that held buffered.
bool MatchesTableRow(std::string_view unit, std::string_view buffered) {
    if (unit.empty()) return false;
    const std::size_t length = UnitLength(unit);
    if (length == kWholeBuffer) return unit == buffered;  // EOT and any other: the whole buffer
    return length != kNoUnit && unit.size() == length;
}

struct Link final : ClientLink {
    const ClientSlot* slot = nullptr;
    const bool* passThru = nullptr;
    std::string sent;              // everything the client has sent
    std::size_t forwardedEnd = 0;  // where in sent the last forwarded unit ended
    std::vector<std::string> units;
    std::vector<std::string> logged;
    std::vector<std::string> replies;

    void PasswordChecked(Integer, bool) override {}
    void TcptoSerial(std::string_view unit) override {
        FUZZ_CHECK(slot->LoggedIn, "a client that is not logged in forwarded a unit");
        FUZZ_CHECK(!unit.empty(), "an empty unit was forwarded");
        // The unit is cut from the front of the unworked text: it starts where that text does.
        FUZZ_CHECK(std::string_view(sent).ends_with(slot->ClientBuffer.view()),
                   "the buffer is not the unworked end of what the client sent");
        const std::size_t front = sent.size() - slot->ClientBuffer.size();
        FUZZ_CHECK(sent.compare(front, unit.size(), unit) == 0,
                   "a unit is not the front of the client's unworked text");
        FUZZ_CHECK(front >= forwardedEnd, "text was forwarded twice or out of order");
        forwardedEnd = front + unit.size();
        if (*passThru) {
            FUZZ_CHECK(unit == slot->ClientBuffer.view(), "pass-through forwarded part of it");
        } else {
            FUZZ_CHECK(MatchesTableRow(unit, slot->ClientBuffer.view()),
                       "a forwarded unit matches no row of the unit table");
        }
        units.emplace_back(unit);
    }
    void SendtoSingleIP(std::string_view text, Integer index) override {
        FUZZ_CHECK(index == kIndex, "a reply went to another client");
        replies.emplace_back(text);
    }
    void LogIPActivity(std::string_view text, std::string_view address) override {
        FUZZ_CHECK(address == kPeer, "a unit was recorded with the wrong address");
        logged.emplace_back(text);
    }
    std::string PeerAddress(Integer index) override {
        FUZZ_CHECK(index == kIndex, "the address of another client was read");
        return kPeer;
    }
};

// One interpreter step, checked against the login rule and the progress contract.
bool Step(ClientSlot& slot, const ClientRules& rules, Link& link) {
    const std::string before(slot.ClientBuffer.view());
    const bool wasIn = slot.LoggedIn;
    const std::size_t units = link.units.size(), logged = link.logged.size(),
                      replies = link.replies.size();
    const bool progress = DecodeTcpMessage(slot, kIndex, rules, link);
    const std::string after(slot.ClientBuffer.view());
    const std::size_t newUnits = link.units.size() - units;
    const std::size_t newLogged = link.logged.size() - logged;
    const std::size_t newReplies = link.replies.size() - replies;

    FUZZ_CHECK(before.size() >= after.size() && before.ends_with(after),
               "a step changed text other than by taking it off the front");
    if (!progress) {
        FUZZ_CHECK(before == after && wasIn == slot.LoggedIn && newUnits + newReplies == 0,
                   "a step that reported no progress changed something");
    }
    FUZZ_CHECK(newUnits <= 1, "one step forwarded more than one unit");
    if (!wasIn) {
        const std::string& pw = rules.Password;
        FUZZ_CHECK(newUnits == 0 && newLogged == 0, "a login step forwarded or recorded text");
        if (before.size() < pw.size()) {
            FUZZ_CHECK(!progress, "a login was decided before the password was complete");
        } else if (before.compare(0, pw.size(), pw) == 0) {
            FUZZ_CHECK(slot.LoggedIn && after == before.substr(pw.size()),
                       "the right password did not log in, keeping what followed it");
            FUZZ_CHECK(newReplies == 1 && link.replies.back() == kLoginOk, "no login reply");
        } else {
            FUZZ_CHECK(!slot.LoggedIn && after.empty(), "a wrong password logged in or kept text");
            FUZZ_CHECK(newReplies == 1 && link.replies.back() == kLoginInvalid,
                       "no invalid-password reply");
        }
        return progress;
    }
    FUZZ_CHECK(slot.LoggedIn, "a logged-in client was logged out");
    FUZZ_CHECK(newReplies == 0, "a logged-in client got a reply from the interpreter");
    if (newUnits == 1) {
        FUZZ_CHECK(before.size() - after.size() == link.units.back().size(),
                   "the forwarded unit is not what was taken off the buffer");
        if (rules.PassThruMode) {
            FUZZ_CHECK(newLogged == 0, "pass-through text was recorded");
        } else {
            FUZZ_CHECK(newLogged == 1 && link.logged.back() == link.units.back(),
                       "a unit was not recorded exactly as forwarded");
        }
    } else {
        FUZZ_CHECK(newLogged == 0, "something was recorded without being forwarded");
        // Only a character that opens no unit is dropped, one per step.
        if (progress) {
            FUZZ_CHECK(!rules.PassThruMode && before.size() == after.size() + 1,
                       "a step dropped more than one character");
            FUZZ_CHECK(kOpeners.find(before[0]) == std::string_view::npos,
                       "a character that opens a unit was dropped");
        }
    }
    return progress;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string password = in.ConsumeRandomLengthString(8);
    bool passThru = in.ConsumeBool();
    ClientSlot slot;
    slot.LoggedIn = in.ConsumeBool();
    const bool startedIn = slot.LoggedIn;

    Link link;
    link.slot = &slot;
    link.passThru = &passThru;

    while (in.remaining_bytes() > 0) {
        const ClientRules rules{password, passThru};
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                passThru = !passThru;
                break;
            case 1:  // one tick's step
                if (!slot.ClientBuffer.empty()) Step(slot, rules, link);
                break;
            case 2: {  // the server's drain: steps until one makes no progress
                std::size_t steps = 0;
                const std::size_t bound = slot.ClientBuffer.size() + 2;
                while (!slot.ClientBuffer.empty() && Step(slot, rules, link))
                    FUZZ_CHECK(++steps <= bound, "the interpreter does not come to rest");
                break;
            }
            default: {  // a piece arrives
                const std::string piece =
                    in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(1, 24));
                link.sent += piece;
                slot.ClientBuffer.append(piece);
                break;
            }
        }
    }
    if (!startedIn && !slot.LoggedIn)
        FUZZ_CHECK(link.units.empty(), "a client that never logged in forwarded text");
    return 0;
}
