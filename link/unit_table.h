// The control characters of the client and switcher lines, and the command-unit table: how long
// the unit is that a client's text starts with. The client interpreter, the switcher simulator
// and the fuzz model read the same table.
//
//   first char          second   unit
//   CR  (13)            -        1 character
//   DC4 (20)            -        7 characters
//   EOT (4)             "I"      4 characters
//   EOT (4)             "T"      7 characters
//   EOT (4)             other    the whole buffer (the simulator reads 2)
//   BS  (8)             -        1 character
//   DC3 (19), DC2 (18)  -        5 characters
//   HT (9), CAN (24),
//   EM (25), ACK (6)    -        4 characters
//   anything else       -        none: the interpreter drops the character
#pragma once

#include <cstddef>
#include <string_view>

namespace qv {

namespace ctl {
inline constexpr char EOT = 4, ACK = 6, BEL = 7, BS = 8, HT = 9, CR = 13, DC2 = 18, DC3 = 19,
                      DC4 = 20, CAN = 24, EM = 25, ESC = 27;
}  // namespace ctl

// UnitLength's answer for a first character that opens no unit.
inline constexpr std::size_t kNoUnit = 0;
// UnitLength's answer for EOT and a character other than I or T: the unit is all the text.
inline constexpr std::size_t kWholeBuffer = static_cast<std::size_t>(-1);

// The length of the unit text starts with (text not empty). More than text.size() while the
// unit is incomplete (EOT alone asks for 2, to see which unit it opens).
constexpr std::size_t UnitLength(std::string_view text) {
    switch (text[0]) {
        case ctl::CR:
        case ctl::BS:
            return 1;
        case ctl::DC4:
            return 7;
        case ctl::EOT:
            if (text.size() < 2) return 2;
            if (text[1] == 'I') return 4;
            if (text[1] == 'T') return 7;
            return kWholeBuffer;
        case ctl::DC3:
        case ctl::DC2:
            return 5;
        case ctl::HT:
        case ctl::CAN:
        case ctl::EM:
        case ctl::ACK:
            return 4;
        default:
            return kNoUnit;
    }
}

}  // namespace qv
