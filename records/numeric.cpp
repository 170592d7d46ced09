#include "records/numeric.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/component_error.h"

namespace qv {
namespace {

bool IsSkipped(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

int DigitValue(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < base ? v : -1;
}

[[noreturn]] void Overflow() {
    throw ComponentError(kErrOverflow, "Overflow");
}

}  // namespace

double LeadingNumber(std::string_view text) {
    std::string s;  // the text without the characters that are skipped
    s.reserve(text.size());
    for (char c : text)
        if (!IsSkipped(c)) s.push_back(c);

    if (s.size() >= 2 && s[0] == '&' &&
        (s[1] == 'H' || s[1] == 'h' || s[1] == 'O' || s[1] == 'o')) {
        const int base = (s[1] == 'H' || s[1] == 'h') ? 16 : 8;
        std::uint64_t v = 0;
        for (std::size_t i = 2; i < s.size(); ++i) {
            const int d = DigitValue(s[i], base);
            if (d < 0) break;
            v = v * base + d;
            if (v > 0xFFFFFFFFull) Overflow();
        }
        // A value that fits 16 bits is a 16-bit pattern, else a 32-bit one: &HFFFF is -1.
        if (v <= 0xFFFF) return static_cast<std::int16_t>(static_cast<std::uint16_t>(v));
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    }

    // Optional sign, digits, optional fraction, optional exponent (E or D).
    std::string num;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) num.push_back(s[i++]);
    std::size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') num.push_back(s[i++]), ++digits;
    if (i < s.size() && s[i] == '.') {
        num.push_back(s[i++]);
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') num.push_back(s[i++]), ++digits;
    }
    if (digits == 0) return 0.0;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        std::size_t j = i + 1;
        std::string exp = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) exp.push_back(s[j++]);
        std::size_t expDigits = 0;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') exp.push_back(s[j++]), ++expDigits;
        if (expDigits > 0) num += exp;
    }
    const double v = std::strtod(num.c_str(), nullptr);
    if (!std::isfinite(v)) Overflow();
    return v;
}

Integer ToInteger(double value) {
    const double r = std::nearbyint(value);  // the default rounding mode goes half to even
    if (!(r >= -32768.0 && r <= 32767.0)) Overflow();
    return static_cast<Integer>(r);
}

Long ToLong(double value) {
    const double r = std::nearbyint(value);
    if (!(r >= -2147483648.0 && r <= 2147483647.0)) Overflow();
    return static_cast<Long>(r);
}

}  // namespace qv
