// The eight settings in quorvex.ini, section CONFIGURATION.
#pragma once

#include <string>

#include "core/ports.h"
#include "core/variables.h"

namespace qv {

inline constexpr const char* kSettingsFileName = "quorvex.ini";
inline constexpr const char* kSettingsSection = "CONFIGURATION";

// Loads the settings over the start-up values and sets status-bar panels 2 and 3. A missing
// file changes nothing; a read error is reported, the file deleted, and what was read so far
// stays in force.
void ReadSettings(Variables& v, IFileSystem& files, IView& view);

// Replaces the file with the current values. A failure is reported and leaves the old file.
void WriteSettings(const Variables& v, IFileSystem& files, IReporter& reporter);

// Password as stored: the character at position i (from 1) is stored i codes higher.
// Throws ComponentError when a code would pass 255 (or drop below 0 on unscrambling).
std::string ScramblePassword(const std::string& plain);
std::string UnscramblePassword(const std::string& stored);

// True when the password can be stored.
bool PasswordStorable(const std::string& plain);

std::string LogFilePanelText(bool logFileOn);
std::string PassThruPanelText(bool passThruOn);

}  // namespace qv
