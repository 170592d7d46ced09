// The switcher framing fed the switcher's output cut into random arrival pieces, interleaved
// with ticks of the switcher timer, quiet stretches, the help timer and flips of pass-through;
// the pacing is the server's: arrivals and relays reset IdleTicks, ticks add one.
//
// Invariants: everything relayed came from the switcher's output, in order, never more than
// once; everything recorded is the piece just relayed (or the ready prompt's text, or the help
// menu note), nothing in pass-through mode; the buffer never passes its bound after a handler.
#include "link/switcher_framing.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "check.h"

using namespace qv;
using qv::fuzz::PieceTracker;

namespace {

constexpr Integer kComPort = 4;
// A flood (one piece of text repeated) reaches the buffer bound with short inputs.
constexpr std::size_t kFloodMax = kSerialBufferLimit + kSerialBufferLimit / 2;

struct Link final : SwitcherLink {
    Integer* idleTicks = nullptr;
    const bool* passThru = nullptr;
    const SwitcherLine* line = nullptr;
    std::string output;  // everything the switcher printed
    PieceTracker relayed;
    std::string lastRelay;
    bool relayedSinceRecord = false;
    std::size_t relays = 0, records = 0;

    void SendtoIP(std::string_view text) override {
        *idleTicks = 0;  // as the server's send does
        FUZZ_CHECK(relayed.Next(output, text),
                   "relayed text is not an in-order, unrepeated piece of the switcher's output");
        lastRelay = text;
        relayedSinceRecord = true;
        ++relays;
    }
    void LogActivity(std::string_view text, Integer comPort) override {
        FUZZ_CHECK(comPort == kComPort, "recorded with another port");
        FUZZ_CHECK(!*passThru, "pass-through text was recorded");
        const bool special =
            text == kHelpMenuRecord ||
            text == line->ReadyPrompt.substr(kReadyPromptTextAt, kReadyPromptTextLength);
        FUZZ_CHECK(special || (relayedSinceRecord && text == lastRelay),
                   "a record is not the piece just relayed");
        relayedSinceRecord = false;
        ++records;
    }
    Integer CurrentCommPort() override { return kComPort; }
    void StartHelpTimer() override {}
    void StopCmndChkTimer() override {}
};

void CheckBound(const SwitcherLine& line) {
    FUZZ_CHECK(line.SerialBuffer.size() <= kSerialBufferLimit, "the buffer passed its bound");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    bool passThru = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    Integer idleTicks = 0;
    SwitcherLine line;
    line.ReadyPrompt = MakeReadyPrompt();

    Link link;
    link.idleTicks = &idleTicks;
    link.passThru = &passThru;
    link.line = &line;

    const auto tick = [&] {  // one tick of the switcher timer, as the server runs it
        if (idleTicks < kIntegerMax) ++idleTicks;
        if (!line.SerialBuffer.empty()) {
            const std::size_t before = line.SerialBuffer.size();
            DrainSerial(line, passThru, idleTicks, true, link);
            if (passThru) FUZZ_CHECK(line.SerialBuffer.empty(), "pass-through kept text");
            FUZZ_CHECK(line.SerialBuffer.size() <= before, "a tick added text");
        }
        SerialCleanup(line, idleTicks);
        CheckBound(line);
    };
    const auto arrive = [&](const std::string& text) {
        link.output += text;
        line.SerialBuffer.append(text);
        idleTicks = 0;
        DrainSerial(line, passThru, idleTicks, false, link);
        if (passThru) FUZZ_CHECK(line.SerialBuffer.empty(), "pass-through kept text");
        CheckBound(line);
    };

    bool flooded = false;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 15)) {
            case 0:
                passThru = !passThru;
                break;
            case 1:  // the help timer's tick
                line.HelpMenuActive = 0;
                break;
            case 2:  // a quiet stretch, up to past the clean-up
                for (int n = in.ConsumeIntegralInRange<int>(1, kSerialCleanupTicks + 20); n > 0;
                     --n)
                    tick();
                break;
            case 3: {  // a flood of text, one per input (they are slow)
                if (flooded) break;
                flooded = true;
                const std::string unit =
                    in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(1, 1024));
                const std::size_t total = in.ConsumeIntegralInRange<std::size_t>(1, kFloodMax);
                std::string flood;
                while (!unit.empty() && flood.size() < total) flood += unit;
                arrive(flood.substr(0, total));
                break;
            }
            case 4:
            case 5:
            case 6:
            case 7:
                for (int n = in.ConsumeIntegralInRange<int>(1, kMarkerQuietTicks + 1); n > 0; --n)
                    tick();
                break;
            default:
                arrive(in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(1, 32)));
                break;
        }
    }
    return 0;
}
