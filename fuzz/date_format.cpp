// The date-pattern formatter fed random patterns (single-byte text, as the clock adapter
// narrows the locale's patterns to Latin-1) and random local times within the clock's range.
//
// Invariants: the date text is printable single-byte text (codes 32 to 126 and 160 to 255, the
// pattern's own characters), of bounded length: at most the longest name per pattern character;
// at exactly midnight the general date is the short date alone.
#include "records/date_format.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "check.h"

using namespace qv;

namespace {

// "September" and "Wednesday": no field of one pattern character writes more.
constexpr std::size_t kLongestField = 9;

bool Printable(unsigned char c) {
    return (c >= 32 && c <= 126) || c >= 160;
}

std::string Pattern(FuzzedDataProvider& in) {
    std::string p = in.ConsumeRandomLengthString(40);
    for (char& c : p)
        if (!Printable(static_cast<unsigned char>(c))) c = ' ';  // the adapter's domain
    return p;
}

void Check(const std::string& out, std::size_t patternSize) {
    FUZZ_CHECK(out.size() <= kLongestField * patternSize + 1, "a date text is too long");
    for (unsigned char c : out) FUZZ_CHECK(Printable(c), "a date text is not printable");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    LocalDateTime t;
    t.year = in.ConsumeIntegralInRange<int>(1, 9999);
    t.month = in.ConsumeIntegralInRange<int>(1, 12);
    t.day = in.ConsumeIntegralInRange<int>(1, 31);
    t.hour = in.ConsumeIntegralInRange<int>(0, 23);
    t.minute = in.ConsumeIntegralInRange<int>(0, 59);
    t.second = in.ConsumeIntegralInRange<int>(0, 59);
    if (in.ConsumeBool()) t.hour = t.minute = t.second = 0;
    DateTimePatterns p;
    p.shortDate = Pattern(in);
    p.longTime = Pattern(in);

    Check(FormatPattern(t, p.shortDate), p.shortDate.size());
    const std::string general = FormatGeneralDate(t, p);
    Check(general, p.shortDate.size() + p.longTime.size());
    if (t.hour == 0 && t.minute == 0 && t.second == 0)
        FUZZ_CHECK(general == FormatPattern(t, p.shortDate), "midnight shows more than the date");
    return 0;
}
