// The window front: runs the server under the operator's main window.
#pragma once

#include <QApplication>

#include "app/server_host.h"

namespace qv {

int RunWindow(QApplication& app, const HostOptions& options);

}  // namespace qv
