#include "app/shutdown_signals.h"

#include <QObject>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>

namespace qv {
namespace {
int g_pipe[2] = {-1, -1};
int g_reloadPipe[2] = {-1, -1};

void Handler(int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &c, 1);  // async-signal-safe
}
void ReloadHandler(int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(g_reloadPipe[1], &c, 1);
}
}  // namespace

void OnReloadSignal(QObject* parent, std::function<void()> handler) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_reloadPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_reloadPipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [handler] {
        char c[64];
        while (::read(g_reloadPipe[0], c, sizeof c) > 0) {
        }
        handler();  // one re-read for signals that came together
    });
    struct sigaction sa = {};
    sa.sa_handler = ReloadHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGHUP, &sa, nullptr);
}

void OnStopSignal(QObject* parent, std::function<void()> handler) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_pipe) != 0) return;
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [handler, notifier] {
        char c;
        [[maybe_unused]] ssize_t n = ::read(g_pipe[0], &c, 1);
        notifier->setEnabled(false);  // one shut-down is enough
        handler();
    });
    struct sigaction sa = {};
    sa.sa_handler = Handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

void IgnoreBrokenPipes() {
    struct sigaction sa = {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGPIPE, &sa, nullptr);
}

}  // namespace qv
#else
namespace qv {
// Windows: a console close ends the process; the window's close runs the shut-down.
void OnStopSignal(QObject*, std::function<void()>) {}
// Windows has no SIGHUP: the settings file is watched all the same.
void OnReloadSignal(QObject*, std::function<void()>) {}
// Windows has no SIGPIPE: a write to a closed pipe fails with an error.
void IgnoreBrokenPipes() {}
}  // namespace qv
#endif
