// The settings file quorvex.ini: eight keys in section CONFIGURATION, owned here.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/ports.h"

namespace qv {

inline constexpr const char* kSettingsFileName = "quorvex.ini";
inline constexpr const char* kSettingsSection = "CONFIGURATION";
// Where the text of a settings file that could not be read is kept, beside it, before that file
// is deleted: the operator's edits are not lost with it.
inline constexpr const char* kUnreadSettingsFileName = "quorvex.ini.unread";

// The settings kept in quorvex.ini, written back in this order.
struct Settings {
    Integer MaxListSize = 0;
    Long StayOnTopMode = 0;
    bool LogFileOn = false;
    bool PassThruMode = false;
    std::string Password;
    Long TcpPort = 0;
    Integer SerialPort = 0;
    std::string BaudRate;
};

// Start-up values, before the file is read.
constexpr Integer kDefaultMaxListSize = 25;
constexpr Integer kDefaultSerialPort = 1;
inline constexpr const char* kDefaultBaudRate = "9600";
// The TCP port: the default, and the range a port must be in.
constexpr Long kDefaultTcpPort = 1250;
constexpr Long kMinTcpPort = 1;
constexpr Long kMaxTcpPort = 65535;
// COM ports offered for choice (COM 1 to COM 16).
constexpr Integer kComPortCount = 16;
// The serial settings text of a baud rate: no parity, 8 data bits, 1 stop bit.
inline std::string SerialSettingsFor(const std::string& baudRate) {
    return baudRate + ",n,8,1";
}

// The baud rates offered for choice.
inline constexpr const char* kBaudRates[] = {"2400",  "9600",  "14400",  "19200",
                                             "38400", "57600", "115200", "128000"};

// The start-up values, as in force without a file.
Settings DefaultSettings();

// Reads the file in folder over v without touching the file or any view: a missing file changes
// nothing; a file that cannot be read gives false and the reason in *error. The text read, or
// nothing when there is no file, goes to *text when given.
bool PeekSettings(Settings& v, const std::string& folder, const IFileSystem& files,
                  std::string* error, std::optional<std::string>* text = nullptr);

// The settings as the file holds them, in file order, as "Key" and value text; the password as
// "set" or "not set", never its text.
std::vector<std::pair<std::string, std::string>> SettingsShown(const Settings& v);

// Sets one setting from its file key and a value text, with the setup dialog's rules where it
// has them (COM 1 to 16, the baud rates offered, TCP port 1 to 65535, Yes or No, a list size of
// 1 to 32767). False with the reason in *why on an unknown key or a value out of bounds. The
// password is not set this way.
bool SetSettingText(Settings& v, const std::string& key, const std::string& value,
                    std::string* why);

// Loads the settings from folder over the start-up values and sets status-bar panels 2 and 3. A
// missing file changes nothing; a read error is reported, the file's text kept as
// kUnreadSettingsFileName and the file deleted; what was read so far stays in force, and so does
// the file's password when it can be read.
void ReadSettings(Settings& v, const std::string& folder, IFileSystem& files, IView& view);

// Replaces the file with the current values. A failure is reported and leaves the old file.
void WriteSettings(const Settings& v, const std::string& folder, IFileSystem& files,
                   IReporter& reporter);

// Password as stored: the character at position i (from 1) is stored i codes higher.
// Throws ComponentError when a code would pass 255 (or drop below 0 on unscrambling).
std::string ScramblePassword(const std::string& plain);
std::string UnscramblePassword(const std::string& stored);

// True when the password can be stored.
bool PasswordStorable(const std::string& plain);

std::string LogFilePanelText(bool logFileOn);
std::string PassThruPanelText(bool passThruOn);

}  // namespace qv
