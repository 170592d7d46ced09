// The description mappings fed random traffic.
//
// Invariants: the descriptions are printable single-byte text (codes 32 to 126) of at most two
// characters per character of traffic, plus the digits of one frame number (up to three, when
// the number is the marker's own code because it was not first); the client
// mapping follows its table character by character; a text without a frame marker is described
// the same way on both sides.
#include "records/describe.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"

using namespace qv;

namespace {

constexpr char CAN = 24, EM = 25;

void CheckPrintable(const std::string& d, std::size_t bound, const char* side) {
    FUZZ_CHECK(d.size() <= bound, side);
    for (unsigned char c : d) FUZZ_CHECK(c >= 32 && c <= 126, side);
}

// The client mapping's table, one character at a time.
std::string ClientTable(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == 10 || c == 13 || c == 0 || c >= 126) continue;
        if (c < 32) {
            out += '^';
            out += static_cast<char>(c + 64);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string client = DescribeClientText(text);
    const std::string switcher = DescribeSwitcherText(text);
    CheckPrintable(client, 2 * size, "a client description is not short printable text");
    CheckPrintable(switcher, 2 * size + 3, "a switcher description is not short printable text");
    FUZZ_CHECK(client == ClientTable(text), "the client description does not follow its table");
    if (text.find(CAN) == std::string_view::npos && text.find(EM) == std::string_view::npos)
        FUZZ_CHECK(switcher == client, "without a marker the two descriptions differ");
    if (!text.empty() && (text[0] == CAN || text[0] == EM)) {
        // A frame: the marker in caret form, then the next character's code in decimal.
        const std::string head = std::string("^") + (text[0] == CAN ? 'X' : 'Y');
        FUZZ_CHECK(switcher.starts_with(head), "a frame does not open with its marker");
        if (size > 1)
            FUZZ_CHECK(
                switcher.substr(2).starts_with(std::to_string(static_cast<unsigned char>(text[1]))),
                "a frame's number is not the code of its second character");
    }
    return 0;
}
