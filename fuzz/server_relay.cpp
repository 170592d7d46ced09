// The real server on fakes (no Qt): several clients connect, some log in and some do not,
// clients send text in random pieces, the switcher prints in random pieces, and fake time runs
// the server's own timers, through quiet stretches. Clients may be disconnected, put off for
// not reading, or all disconnected by the operator; pass-through may be switched.
//
// Invariants, checked around every handler (socket and serial events, every timer tick):
// switcher output reaches only clients that are logged in and connected, the same pieces to
// each, and those pieces are in-order, unrepeated parts of what the switcher printed; clients
// get nothing else but the login texts, and those only from their own handlers; nothing reaches
// the switcher from a client that is not logged in, and what does is a subsequence of what that
// client sent; the switcher buffer never passes its bound.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "check.h"
#include "fakes.h"

using namespace qv;
using namespace qv::test;
using qv::fuzz::PieceTracker;

namespace {

constexpr Integer kMaxClients = 5;
constexpr long long kLongQuietMs = 12000;  // past every clean-up (500 ticks of 20 ms)

// Whether want is a subsequence of have from position at; moves at past the match.
bool SubsequenceFrom(std::string_view have, std::size_t& at, std::string_view want) {
    for (char c : want) {
        while (at < have.size() && have[at] != c) ++at;
        if (at == have.size()) return false;
        ++at;
    }
    return true;
}

enum class Side { Client, Switcher, Other };

class Harness {
  public:
    explicit Harness(FuzzedDataProvider& in) : in_(in) {
        f_.Start();
        f_.settings().Password = in.ConsumeRandomLengthString(6);
        f_.settings().PassThruMode = in.ConsumeIntegralInRange<int>(0, 3) == 0;
        // Every timer tick is a handler of its own.
        for (FakeTimer* t : f_.sched.timers) {
            const Side side = t->name() == "decodeTcp"                        ? Side::Client
                              : t->name() == "cmndChk" || t->name() == "help" ? Side::Switcher
                                                                              : Side::Other;
            t->tick = [this, side, tick = std::move(t->tick)] { Handler(side, 0, tick); };
        }
    }

    void Run() {
        while (in_.remaining_bytes() > 0) {
            switch (in_.ConsumeIntegralInRange<int>(0, 15)) {
                case 0:
                case 1:
                    Connect();
                    break;
                case 2:
                case 3:
                case 4:
                case 5: {
                    const Integer i = PickConnected();
                    const std::string text =
                        in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange<std::size_t>(1, 12));
                    if (i == 0) break;
                    clients_[i].sent += text;
                    Handler(Side::Client, i, [&] { f_.sockets.Send(i, text); });
                    break;
                }
                case 6: {
                    const Integer i = PickConnected();
                    if (i) Handler(Side::Other, 0, [&] { f_.sockets.Hangup(i); });
                    break;
                }
                case 7:
                case 8:
                case 9: {
                    const std::string text =
                        in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange<std::size_t>(1, 24));
                    switcherOutput_ += text;
                    Handler(Side::Switcher, 0, [&] { f_.serial.Feed(text); });
                    break;
                }
                case 10:
                case 11:
                    f_.sched.Advance(in_.ConsumeIntegralInRange<int>(1, 300));
                    break;
                case 12:
                    f_.sched.Advance(in_.ConsumeIntegralInRange<long long>(1, kLongQuietMs));
                    break;
                case 13:
                    Handler(Side::Other, 0, [&] { f_.server->DisconnectAllClients(); });
                    clients_.clear();
                    break;
                case 14: {
                    const Integer i = PickConnected();
                    if (i) f_.sockets.elements[i].overflow = true;  // stops reading
                    break;
                }
                default:
                    f_.settings().PassThruMode = !f_.settings().PassThruMode;
                    break;
            }
        }
    }

  private:
    struct Client {
        std::string sent;     // everything this connection sent
        std::size_t fwd = 0;  // how far the forwarded text has been matched in sent
    };
    struct Before {
        bool live = false;      // connected and logged in
        bool loggedIn = false;  // the slot's flag, which a closed slot keeps
        std::size_t writes = 0;
    };

    void Connect() {
        if (f_.server->ClientSlotCount() >= kMaxClients && PickFree() == 0) return;
        const std::string peer = "10.0.0." + std::to_string(++peers_);
        Handler(Side::Other, 0, [&] { f_.sockets.Connect(peer); });
        // The newest connection is the one whose peer is this one.
        for (auto& [i, e] : f_.sockets.elements) {
            if (e.connected && e.peer == peer) {
                clients_[i] = Client{};
                const std::string& greeting = e.out;
                FUZZ_CHECK(
                    greeting == (f_.settings().Password.empty() ? kLoginOk : kPasswordPrompt),
                    "a new client was not greeted with the login text");
                FUZZ_CHECK(f_.slot(i).LoggedIn == f_.settings().Password.empty(),
                           "a new client's login state does not follow the password");
            }
        }
    }

    Integer PickConnected() {
        std::vector<Integer> live;
        for (auto& [i, e] : f_.sockets.elements)
            if (e.connected) live.push_back(i);
        if (live.empty()) return 0;
        return live[in_.ConsumeIntegralInRange<std::size_t>(0, live.size() - 1)];
    }
    Integer PickFree() {
        for (auto& [i, e] : f_.sockets.elements)
            if (!e.connected) return i;
        return 0;
    }

    template <class F>
    void Handler(Side side, Integer from, const F& run) {
        std::map<Integer, Before> before;
        for (auto& [i, e] : f_.sockets.elements) {
            const bool in = i <= f_.server->ClientSlotCount() && f_.slot(i).LoggedIn;
            before[i] = {e.connected && in, in, e.writes.size()};
        }
        const std::size_t serialBefore = f_.serial.written.size();

        run();

        const std::string_view toSwitcher =
            std::string_view(f_.serial.written).substr(serialBefore);
        const std::vector<std::string>* reference = nullptr;  // the relays of this handler
        for (auto& [i, e] : f_.sockets.elements) {
            auto b = before.find(i);
            if (b == before.end()) continue;  // created by this handler
            const std::size_t from0 = std::min(b->second.writes, e.writes.size());
            const std::vector<std::string> got(e.writes.begin() + from0, e.writes.end());
            // A slot above the table's end was dropped after its client left: it keeps the
            // login it had, as a closed slot does.
            const bool in = i <= f_.server->ClientSlotCount() ? f_.slot(i).LoggedIn
                                                              : b->second.loggedIn && !e.connected;
            if (side == Side::Switcher) {
                FUZZ_CHECK(in == b->second.loggedIn, "switcher output changed a login");
                FUZZ_CHECK(got.empty() || b->second.live,
                           "switcher output reached a client that is not logged in");
                if (!got.empty() && (!reference || got.size() > reference->size()))
                    reference = &e.writes;  // the longest: others may have been put off
            } else {
                for (const std::string& w : got) {
                    FUZZ_CHECK(w == kLoginOk || w == kLoginInvalid || w == kPasswordPrompt,
                               "a client got text other than a login text from a client event");
                    FUZZ_CHECK(w != kLoginOk || (!b->second.live && in),
                               "a login reply went to a client that did not log in");
                }
                // A client's text is answered to that client only (a tick answers any).
                if (side == Side::Client && from != 0 && from != i)
                    FUZZ_CHECK(got.empty(), "a client got a reply to another's text");
            }
        }
        if (reference) {
            // Every logged-in client saw the same pieces (or, put off, the first of them).
            for (auto& [i, e] : f_.sockets.elements) {
                auto b = before.find(i);
                if (b == before.end() || !b->second.live) continue;
                const std::size_t n = e.writes.size() - std::min(b->second.writes, e.writes.size());
                for (std::size_t k = 0; k < n; ++k)
                    FUZZ_CHECK(
                        e.writes[b->second.writes + k] ==
                            (*reference)[reference->size() - RelayCount(before, *reference) + k],
                        "logged-in clients were sent different switcher output");
            }
            const std::size_t n = RelayCount(before, *reference);
            for (std::size_t k = reference->size() - n; k < reference->size(); ++k)
                FUZZ_CHECK(relayed_.Next(switcherOutput_, (*reference)[k]),
                           "relayed text is not an in-order, unrepeated piece of the switcher's");
        }

        if (side == Side::Switcher) {
            FUZZ_CHECK(toSwitcher.empty(), "switcher output was sent back to the switcher");
        } else if (side == Side::Client && from != 0) {
            const bool wasIn = before.count(from) && before[from].loggedIn;
            const bool in = from <= f_.server->ClientSlotCount() && f_.slot(from).LoggedIn;
            if (!wasIn && !in)
                FUZZ_CHECK(toSwitcher.empty(),
                           "a client that is not logged in reached the switcher");
            FUZZ_CHECK(SubsequenceFrom(clients_[from].sent, clients_[from].fwd, toSwitcher),
                       "what reached the switcher is not in order in what the client sent");
        } else if (!toSwitcher.empty()) {
            bool anyIn = false;
            for (Integer i = 1; i <= f_.server->ClientSlotCount(); ++i)
                anyIn = anyIn || f_.slot(i).LoggedIn;
            for (auto& [i, b] : before) anyIn = anyIn || b.loggedIn;
            FUZZ_CHECK(anyIn, "text reached the switcher while no client was logged in");
        }
        FUZZ_CHECK(f_.line().SerialBuffer.size() <= kSerialBufferLimit,
                   "the switcher buffer passed its bound");
    }

    // How many writes the reference client got in this handler.
    std::size_t RelayCount(const std::map<Integer, Before>& before,
                           const std::vector<std::string>& reference) const {
        for (auto& [i, e] : f_.sockets.elements)
            if (&e.writes == &reference) return e.writes.size() - before.at(i).writes;
        return 0;
    }

    FuzzedDataProvider& in_;
    CoreFixture f_;
    std::map<Integer, Client> clients_;
    std::string switcherOutput_;
    PieceTracker relayed_;
    int peers_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Harness h(in);
    h.Run();
    return 0;
}
