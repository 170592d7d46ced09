// The settings reader fed random INI text (or a file that cannot be read), over random
// start-up values; the numeric reading fed random value texts.
//
// Invariants: reading never throws out and never crashes; every number read is the value
// text's leading number rounded half to even and within its width, or the read fails; a read
// error reports once, keeps the file's text beside it, deletes the file and leaves the values
// read before it and the start-up values after it, except the file's password, in force when it
// unscrambles; the status bar shows the switches in force (untouched when a number fails, as
// the switches come after the numbers); a clean read sets both panels and stores a
// password that scrambles back to the stored text; what was read is written back and reads
// back the same.
#include "records/settings.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "check.h"
#include "records/ini.h"
#include "records/numeric.h"

using namespace qv;

namespace {

const std::string kFolder = "/app/";
const std::string kPath = kFolder + kSettingsFileName;

struct Files final : IFileSystem {
    std::map<std::string, std::string> files;
    bool failRead = false, failRemove = false, failWrite = false;
    int removes = 0;
    bool Exists(const std::string& p) const override { return files.count(p) > 0; }
    void Remove(const std::string& p) override {
        ++removes;
        if (failRemove) throw ComponentError(kErrFileIo, "Path/File access error");
        files.erase(p);
    }
    std::string ReadAll(const std::string& p) const override {
        if (failRead) throw ComponentError(kErrFileIo, "Path/File access error");
        return files.at(p);
    }
    void WriteReplace(const std::string& p, std::string_view d) override {
        if (failWrite) throw ComponentError(kErrFileIo, "Path/File access error");
        files[p] = std::string(d);
    }
    void Append(const std::string& p, std::string_view d) override { files[p].append(d); }
};

struct View final : NullView {
    std::vector<std::pair<std::string, std::string>> reports;
    std::map<int, std::string> panels;
    int panelSets = 0;
    void Report(const std::string& t, const std::string& x) override { reports.push_back({t, x}); }
    void SetStatusPanel(int p, const std::string& t) override {
        panels[p] = t;
        ++panelSets;
    }
};

bool Same(const Settings& a, const Settings& b) {
    return a.MaxListSize == b.MaxListSize && a.StayOnTopMode == b.StayOnTopMode &&
           a.LogFileOn == b.LogFileOn && a.PassThruMode == b.PassThruMode &&
           a.Password == b.Password && a.TcpPort == b.TcpPort && a.SerialPort == b.SerialPort &&
           a.BaudRate == b.BaudRate;
}

// The numeric reading of one value text into a width of lo..hi, checked against its contract.
// False when the reading fails (as a read error).
bool ReadNumber(const std::string& text, double lo, double hi, long long& out) {
    double v = 0;
    try {
        v = LeadingNumber(text);
    } catch (const ComponentError& e) {
        FUZZ_CHECK(e.number() == kErrOverflow, "the numeric reading failed other than overflow");
        return false;
    }
    FUZZ_CHECK(std::isfinite(v), "the leading number is not finite");
    bool digit = false;
    for (char c : text)
        digit = digit || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit) FUZZ_CHECK(v == 0, "a text without digits read as a number other than 0");
    const double r = std::nearbyint(v);
    const bool fits = r >= lo && r <= hi;
    long long got = 0;
    try {
        got = hi > 32767 ? ToLong(v) : ToInteger(v);
    } catch (const ComponentError& e) {
        FUZZ_CHECK(!fits && e.number() == kErrOverflow, "a number that fits was refused");
        return false;
    }
    FUZZ_CHECK(fits, "a number beyond its width was accepted");
    FUZZ_CHECK(got >= lo && got <= hi, "a number read is outside its width");
    FUZZ_CHECK(std::fabs(static_cast<double>(got) - v) <= 0.5, "not the nearest whole number");
    if (std::fabs(static_cast<double>(got) - v) == 0.5)
        FUZZ_CHECK(got % 2 == 0, "a half did not go to the even neighbour");
    out = got;
    return true;
}

Settings StartValues(FuzzedDataProvider& in) {
    Settings s;
    s.MaxListSize = in.ConsumeIntegral<Integer>();
    s.StayOnTopMode = in.ConsumeBool() ? kTopMost : kNotTopMost;
    s.LogFileOn = in.ConsumeBool();
    s.PassThruMode = in.ConsumeBool();
    s.Password = in.ConsumeRandomLengthString(4);
    s.TcpPort = in.ConsumeIntegral<Long>();
    s.SerialPort = in.ConsumeIntegral<Integer>();
    s.BaudRate = in.ConsumeRandomLengthString(6);
    return s;
}

enum class Outcome { Clean, FailedBeforeSwitches, FailedOnPassword };

// The documented result of reading text over start, step by step: the numbers stored as they
// are read, the switches applied and shown, then the password unscrambled. A failing number
// stops before the switches; a stored password character whose code is below its position
// fails the last step, after the switches are in force and shown.
Outcome Expected(const std::string& text, Settings& v) {
    const auto key = [&](const char* name) { return IniValue(text, kSettingsSection, name); };
    long long n = 0;
    if (!ReadNumber(key("Serial Port"), -32768, 32767, n)) return Outcome::FailedBeforeSwitches;
    v.SerialPort = static_cast<Integer>(n);
    v.BaudRate = key("Baud Rate");
    if (!ReadNumber(key("TCP/IP Port"), -2147483648.0, 2147483647.0, n))
        return Outcome::FailedBeforeSwitches;
    v.TcpPort = static_cast<Long>(n);
    if (!ReadNumber(key("Max List Size"), -32768, 32767, n)) return Outcome::FailedBeforeSwitches;
    v.MaxListSize = static_cast<Integer>(n);
    std::string upper = key("Stay On Top");
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    const std::string log = key("Maintain Log File"), pass = key("Pass Thru");
    const std::string stored = key("Password");
    if (upper == "YES") v.StayOnTopMode = kTopMost;
    if (upper == "NO") v.StayOnTopMode = kNotTopMost;
    v.PassThruMode = pass == "Yes";
    v.LogFileOn = log != "No" && !v.PassThruMode;
    for (std::size_t i = 0; i < stored.size(); ++i)
        if (static_cast<unsigned char>(stored[i]) < i + 1) return Outcome::FailedOnPassword;
    v.Password = UnscramblePassword(stored);
    return Outcome::Clean;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const Settings start = StartValues(in);
    const int fault = in.ConsumeIntegralInRange<int>(0, 15);  // 0: no file, 1: unreadable
    const bool failRemove = in.ConsumeBool();
    std::string text = in.ConsumeRemainingBytesAsString();
    // Most inputs read as a settings file: give the section header when the text has none.
    if (fault >= 8 && text.find('[') == std::string::npos)
        text = "[" + std::string(kSettingsSection) + "]\n" + text;

    Files files;
    View view;
    if (fault != 0) files.files[kPath] = text;
    files.failRead = fault == 1;
    files.failRemove = failRemove;

    Settings v = start;
    ReadSettings(v, kFolder, files, view);

    if (fault == 0) {
        FUZZ_CHECK(Same(v, start) && view.reports.empty() && view.panelSets == 0,
                   "reading with no file changed something");
        return 0;
    }
    Settings want = start;
    const Outcome outcome = fault == 1 ? Outcome::FailedBeforeSwitches : Expected(text, want);
    if (outcome != Outcome::Clean && fault != 1) {
        const std::string stored = IniValue(text, kSettingsSection, "Password");
        bool readable = true;
        for (std::size_t i = 0; i < stored.size(); ++i)
            readable = readable && static_cast<unsigned char>(stored[i]) >= i + 1;
        if (readable) want.Password = UnscramblePassword(stored);
    }
    FUZZ_CHECK(Same(v, want), "the values read are not the documented ones");
    if (outcome != Outcome::Clean) {
        FUZZ_CHECK(view.reports.size() == 1 && view.reports[0].first == "File Error" &&
                       view.reports[0].second.starts_with("Error Reading quorvex.ini file\r\r"
                                                          "Error # "),
                   "a read error was not reported once as documented");
        FUZZ_CHECK(files.removes == 1 && (failRemove || !files.Exists(kPath)),
                   "a read error did not delete the file");
        const std::string kept = kFolder + kUnreadSettingsFileName;
        FUZZ_CHECK(
            fault == 1 ? !files.Exists(kept) : files.Exists(kept) && files.files[kept] == text,
            "a read error did not keep the file's text beside it");
        if (outcome == Outcome::FailedBeforeSwitches)
            FUZZ_CHECK(view.panelSets == 0, "a read error updated the status bar");
        else
            FUZZ_CHECK(view.panels[2] == LogFilePanelText(v.LogFileOn) &&
                           view.panels[3] == PassThruPanelText(v.PassThruMode),
                       "the status bar does not show the switches in force");
        return 0;
    }
    FUZZ_CHECK(view.reports.empty() && files.removes == 0, "a clean read reported or deleted");
    FUZZ_CHECK(view.panels[2] == LogFilePanelText(v.LogFileOn) &&
                   view.panels[3] == PassThruPanelText(v.PassThruMode),
               "a clean read did not show the switches");
    FUZZ_CHECK(ScramblePassword(v.Password) == IniValue(text, kSettingsSection, "Password"),
               "the password does not scramble back to the stored text");

    // What was read writes back whole and reads back the same.
    Files again;
    View view2;
    WriteSettings(v, kFolder, again, view2);
    FUZZ_CHECK(view2.reports.empty() && again.Exists(kPath), "what was read could not be written");
    Settings back = StartValues(in);  // nothing left: defaults of the provider
    back.StayOnTopMode = v.StayOnTopMode == kTopMost ? kNotTopMost : kTopMost;
    ReadSettings(back, kFolder, again, view2);
    FUZZ_CHECK(view2.reports.empty(), "a written file could not be read");
    FUZZ_CHECK(Same(back, v), "a written file reads back different values");
    return 0;
}
