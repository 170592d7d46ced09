// The settings commands: show the settings file, set keys in it, set the password. They go
// through the same settings code as the window and write the file once; a server running on the
// folder watches the file and applies what changed.
#pragma once

#include <QString>
#include <QStringList>

namespace qv {

struct SettingsCommand {
    bool show = false;
    QStringList sets;  // "KEY=VALUE" as given
    bool setPassword = false;
    bool Any() const { return show || setPassword || !sets.isEmpty(); }
};

// Runs the command on the settings file in folder; the exit status: 0 done, 1 the file could
// not be read or written, 2 a bad key or value (nothing written).
int RunSettingsCommand(const QString& folder, const SettingsCommand& command);

}  // namespace qv
