#include "records/settings.h"

#include <utility>
#include <vector>

#include "records/ini.h"
#include "records/numeric.h"

namespace qv {
namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

// A file that failed to read is about to be deleted. Without its password the server would let
// everyone in and write an empty one at shut-down, so the password stays in force when it
// unscrambles; the text itself is kept beside the file (written owner-only, like the file).
void KeepUnreadFile(Settings& v, const std::string& text, const std::string& folder,
                    IFileSystem& files) {
    try {
        v.Password = UnscramblePassword(IniValue(text, kSettingsSection, "Password"));
    } catch (const ComponentError&) {
        // Not readable either: the start-up value stays.
    }
    try {
        files.WriteReplace(folder + kUnreadSettingsFileName, text);
    } catch (const ComponentError&) {
        // Nothing more to do: the error itself has been reported.
    }
}

// The text once read, standing for the file: a file that fails to read is left as it is, and
// what is checked is what was read.
class ReadOnlyText final : public IFileSystem {
  public:
    explicit ReadOnlyText(const std::string& text) : text_(text) {}
    bool Exists(const std::string&) const override { return true; }
    std::string ReadAll(const std::string&) const override { return text_; }
    void Remove(const std::string&) override { Refuse(); }
    void WriteReplace(const std::string&, std::string_view) override { Refuse(); }
    void Append(const std::string&, std::string_view) override { Refuse(); }

  private:
    [[noreturn]] static void Refuse() {
        throw ComponentError(kErrInvalidCall, "Invalid procedure call or argument");
    }
    const std::string& text_;
};

// Keeps the report instead of showing it; shows nothing else.
class QuietView final : public NullView {
  public:
    std::string report;
    void Report(const std::string&, const std::string& text) override {
        if (report.empty()) report = text;
    }
};

// A whole decimal number of at most 9 digits, nothing else.
bool WholeNumber(const std::string& text, long long* n) {
    if (text.empty() || text.size() > 9) return false;
    *n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        *n = *n * 10 + (c - '0');
    }
    return true;
}

// The eight keys in the file's order, with the password as given.
std::vector<std::pair<std::string, std::string>> KeyValues(const Settings& v,
                                                           std::string password) {
    const auto yesNo = [](bool b) { return std::string(b ? "Yes" : "No"); };
    return {
        {"Serial Port", std::to_string(v.SerialPort)},
        {"Baud Rate", v.BaudRate},
        {"TCP/IP Port", std::to_string(v.TcpPort)},
        {"Stay On Top", yesNo(v.StayOnTopMode == kTopMost)},
        {"Max List Size", std::to_string(v.MaxListSize)},
        {"Maintain Log File", yesNo(v.LogFileOn)},
        {"Pass Thru", yesNo(v.PassThruMode)},
        {"Password", std::move(password)},
    };
}

}  // namespace

Settings DefaultSettings() {
    Settings v;
    v.MaxListSize = kDefaultMaxListSize;
    v.StayOnTopMode = kTopMost;
    v.SerialPort = kDefaultSerialPort;
    v.BaudRate = kDefaultBaudRate;
    v.TcpPort = kDefaultTcpPort;
    return v;
}

bool PeekSettings(Settings& v, const std::string& folder, const IFileSystem& files,
                  std::string* error, std::optional<std::string>* text) {
    const std::string path = folder + kSettingsFileName;
    if (text) text->reset();
    if (!files.Exists(path)) return true;
    std::string read;
    try {
        read = files.ReadAll(path);
    } catch (const ComponentError& e) {
        *error = ErrorText("Error Reading quorvex.ini file", e);
        return false;
    }
    if (text) *text = read;
    ReadOnlyText readOnly(read);
    QuietView quiet;
    ReadSettings(v, folder, readOnly, quiet);
    if (quiet.report.empty()) return true;
    *error = quiet.report;
    return false;
}

std::vector<std::pair<std::string, std::string>> SettingsShown(const Settings& v) {
    return KeyValues(v, v.Password.empty() ? "not set" : "set");
}

bool SetSettingText(Settings& v, const std::string& key, const std::string& value,
                    std::string* why) {
    long long n = 0;
    const auto yesNo = [&](bool* out) {
        if (value == "Yes" || value == "No") {
            *out = value == "Yes";
            return true;
        }
        *why = "Yes or No";
        return false;
    };
    if (key == "Serial Port") {
        if (!WholeNumber(value, &n) || n < 1 || n > kComPortCount) {
            *why = "a COM port number from 1 to " + std::to_string(kComPortCount);
            return false;
        }
        v.SerialPort = static_cast<Integer>(n);
    } else if (key == "Baud Rate") {
        for (const char* rate : kBaudRates)
            if (value == rate) {
                v.BaudRate = value;
                return true;
            }
        *why = "one of 2400, 9600, 14400, 19200, 38400, 57600, 115200, 128000";
        return false;
    } else if (key == "TCP/IP Port") {
        if (!WholeNumber(value, &n) || n < kMinTcpPort || n > kMaxTcpPort) {
            *why = "a port number from 1 to 65535";
            return false;
        }
        v.TcpPort = static_cast<Long>(n);
    } else if (key == "Stay On Top") {
        bool on = false;
        if (!yesNo(&on)) return false;
        v.StayOnTopMode = on ? kTopMost : kNotTopMost;
    } else if (key == "Max List Size") {
        if (!WholeNumber(value, &n) || n < 1 || n > kIntegerMax) {
            *why = "a number of rows from 1 to " + std::to_string(kIntegerMax);
            return false;
        }
        v.MaxListSize = static_cast<Integer>(n);
    } else if (key == "Maintain Log File") {
        if (!yesNo(&v.LogFileOn)) return false;
    } else if (key == "Pass Thru") {
        if (!yesNo(&v.PassThruMode)) return false;
    } else {
        *why =
            "a key of Serial Port, Baud Rate, TCP/IP Port, Stay On Top, Max List Size, "
            "Maintain Log File, Pass Thru";
        return false;
    }
    return true;
}

std::string ScramblePassword(const std::string& plain) {
    std::string out = plain;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int code = static_cast<unsigned char>(out[i]) + static_cast<int>(i + 1);
        if (code > 255) throw ComponentError(kErrInvalidCall, "Invalid procedure call or argument");
        out[i] = static_cast<char>(code);
    }
    return out;
}

std::string UnscramblePassword(const std::string& stored) {
    std::string out = stored;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const long long code = static_cast<long long>(static_cast<unsigned char>(out[i])) -
                               static_cast<long long>(i + 1);
        if (code < 0) throw ComponentError(kErrInvalidCall, "Invalid procedure call or argument");
        out[i] = static_cast<char>(code);
    }
    return out;
}

bool PasswordStorable(const std::string& plain) {
    for (std::size_t i = 0; i < plain.size(); ++i)
        if (static_cast<unsigned char>(plain[i]) + i + 1 > 255) return false;
    // The stored text must survive a line-based file: no line break, no NUL, and no blank at
    // either end (profile files trim those).
    const std::string stored = ScramblePassword(plain);
    if (stored.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    return stored.empty() || (!blank(stored.front()) && !blank(stored.back()));
}

std::string LogFilePanelText(bool on) {
    return on ? "Log File: ON" : "Log File: OFF";
}
std::string PassThruPanelText(bool on) {
    return on ? "Pass Thru Mode: ON " : "Pass Thru Mode: OFF ";
}

void ReadSettings(Settings& v, const std::string& folder, IFileSystem& files, IView& view) {
    const std::string path = folder + kSettingsFileName;
    if (!files.Exists(path)) return;
    std::string text;
    bool textRead = false;
    try {
        text = files.ReadAll(path);
        textRead = true;
        const auto key = [&](const char* name) { return IniValue(text, kSettingsSection, name); };

        v.SerialPort = ToInteger(LeadingNumber(key("Serial Port")));
        v.BaudRate = key("Baud Rate");
        v.TcpPort = ToLong(LeadingNumber(key("TCP/IP Port")));
        v.MaxListSize = ToInteger(LeadingNumber(key("Max List Size")));
        const std::string stayOnTop = key("Stay On Top");
        const std::string logFile = key("Maintain Log File");
        const std::string passThru = key("Pass Thru");
        const std::string password = key("Password");

        const std::string upper = Upper(stayOnTop);
        if (upper == "YES")
            v.StayOnTopMode = kTopMost;
        else if (upper == "NO")
            v.StayOnTopMode = kNotTopMost;

        v.LogFileOn = logFile != "No";
        v.PassThruMode = passThru == "Yes";
        if (v.PassThruMode) v.LogFileOn = false;
        view.SetStatusPanel(3, PassThruPanelText(v.PassThruMode));
        view.SetStatusPanel(2, LogFilePanelText(v.LogFileOn));

        v.Password = UnscramblePassword(password);
    } catch (const ComponentError& e) {
        view.Report("File Error", ErrorText("Error Reading quorvex.ini file", e));
        if (textRead) KeepUnreadFile(v, text, folder, files);
        try {
            files.Remove(path);
        } catch (const ComponentError&) {
            // Nothing more to do: the next write replaces it whole.
        }
    }
}

void WriteSettings(const Settings& v, const std::string& folder, IFileSystem& files,
                   IReporter& reporter) {
    try {
        const auto keys = KeyValues(v, ScramblePassword(v.Password));
        files.WriteReplace(folder + kSettingsFileName, IniSection(kSettingsSection, keys));
    } catch (const ComponentError& e) {
        reporter.Report("File Error", ErrorText("Error Writing quorvex.ini file", e));
    }
}

}  // namespace qv
