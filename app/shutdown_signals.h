// Runs a routine on the event loop when the process is asked to stop (SIGINT / SIGTERM).
#pragma once

#include <functional>

class QObject;

namespace qv {

void OnStopSignal(QObject* parent, std::function<void()> handler);

// Runs a routine on the event loop each time the process is asked to re-read its settings
// (SIGHUP, as systemctl reload sends it).
void OnReloadSignal(QObject* parent, std::function<void()> handler);

// A write to a closed pipe or socket (standard output read by a program that has ended) fails
// with an error instead of ending the process.
void IgnoreBrokenPipes();

}  // namespace qv
