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

}  // namespace

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
        const std::string password = ScramblePassword(v.Password);
        const auto yesNo = [](bool b) { return std::string(b ? "Yes" : "No"); };
        const std::vector<std::pair<std::string, std::string>> keys = {
            {"Serial Port", std::to_string(v.SerialPort)},
            {"Baud Rate", v.BaudRate},
            {"TCP/IP Port", std::to_string(v.TcpPort)},
            {"Stay On Top", yesNo(v.StayOnTopMode == kTopMost)},
            {"Max List Size", std::to_string(v.MaxListSize)},
            {"Maintain Log File", yesNo(v.LogFileOn)},
            {"Pass Thru", yesNo(v.PassThruMode)},
            {"Password", password},
        };
        files.WriteReplace(folder + kSettingsFileName, IniSection(kSettingsSection, keys));
    } catch (const ComponentError& e) {
        reporter.Report("File Error", ErrorText("Error Writing quorvex.ini file", e));
    }
}

}  // namespace qv
