// The value widths every layer shares, kept as the settings and the switcher have always
// stored them: Integer is 16-bit, Long 32-bit.
#pragma once

#include <cstdint>

namespace qv {

using Integer = std::int16_t;
using Long = std::int32_t;

constexpr Integer kIntegerMax = 32767;
constexpr Long kColourRed = 255;      // Windows colour value 0x0000FF
constexpr Long kColourGreen = 65280;  // Windows colour value 0x00FF00
constexpr Long kTopMost = -1;         // HWND_TOPMOST
constexpr Long kNotTopMost = -2;      // HWND_NOTOPMOST

}  // namespace qv
