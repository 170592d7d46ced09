// Numeric reading of settings texts, as the settings file has always been read: the text's
// leading number, blanks skipped anywhere, &H / &O prefixes, rounded half to even.
#pragma once

#include <string_view>

#include "base/types.h"

namespace qv {

// The leading number of the text; 0 when there is none. Throws ComponentError (overflow)
// for a hexadecimal or octal number wider than 32 bits.
double LeadingNumber(std::string_view text);

// Nearest whole number, a half going to the even neighbour; throws ComponentError
// (kErrOverflow) when the result does not fit the width.
Integer ToInteger(double value);
Long ToLong(double value);

}  // namespace qv
