// Runs a routine on the event loop when the process is asked to stop (SIGINT / SIGTERM).
#pragma once

#include <functional>

class QObject;

namespace qv {

void OnStopSignal(QObject* parent, std::function<void()> handler);

}  // namespace qv
