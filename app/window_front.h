// The window front: runs the server under the operator's main window.
#pragma once

#include <QApplication>

#include "app/server_host.h"

namespace qv {

// screenshotDir: when set, the window and each dialog are saved there as PNG after a short
// while, then the program shuts down (for the documentation).
int RunWindow(QApplication& app, const HostOptions& options, const QString& screenshotDir = {});

}  // namespace qv
