// Invariant checks for the fuzz targets: a broken invariant aborts with a message, so libFuzzer
// keeps the input as a crash just as it would for a sanitizer report.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace qv::fuzz {

[[noreturn]] inline void Broken(const char* what, const char* file, int line) {
    std::fprintf(stderr, "\ninvariant broken: %s (%s:%d)\n", what, file, line);
    std::abort();
}

// The text with control and high bytes in hex, for failure messages.
inline std::string Shown(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 32 && c < 127) {
            out.push_back(static_cast<char>(c));
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        }
    }
    return out;
}

// Where the contiguous pieces of a relay or forward stream are found in the original text:
// each piece must occur at or after the end of the one before, so the pieces together are an
// in-order subsequence of the text and no character is used twice.
class PieceTracker {
  public:
    // True when piece occurs in source at or after the end of the previous piece.
    bool Next(std::string_view source, std::string_view piece) {
        const std::size_t at = source.find(piece, end_);
        if (at == std::string_view::npos) return false;
        end_ = at + piece.size();
        return true;
    }
    std::size_t end() const { return end_; }

  private:
    std::size_t end_ = 0;
};

}  // namespace qv::fuzz

#define FUZZ_CHECK(cond, what)                                     \
    do {                                                           \
        if (!(cond)) ::qv::fuzz::Broken(what, __FILE__, __LINE__); \
    } while (0)
