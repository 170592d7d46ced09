// quorvex: a routing switcher on the network. The window when a display is there,
// --headless (or no display) for a service.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <memory>

#include "app/demo_switcher.h"
#include "app/headless_view.h"
#include "app/server_host.h"
#include "app/settings_commands.h"
#include "app/settings_watch.h"
#include "app/shutdown_signals.h"
#include "app/window_front.h"
#include "base/version.h"
#include "components/native_socket.h"

namespace {

bool HasDisplay() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ||
           qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
#else
    return true;
#endif
}

bool WantsHeadless(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]) == "--headless" || QByteArray(argv[i]) == "--version" ||
            QByteArray(argv[i]) == "--help" || QByteArray(argv[i]) == "-h" ||
            QByteArray(argv[i]) == "--show-settings" || QByteArray(argv[i]) == "--set" ||
            QByteArray(argv[i]).startsWith("--set=") || QByteArray(argv[i]) == "--set-password")
            return true;
    return false;
}

struct Parsed {
    qv::HostOptions host;
    bool headless = false;
    QString screenshots;
    bool demo = false;
    qv::SettingsCommand settings;
};

// In the demo every COM port not named by --com is the simulated switcher.
bool StartDemo(Parsed& p, std::unique_ptr<qv::DemoSwitcher>& demo) {
    if (!p.demo) return true;
    demo = std::make_unique<qv::DemoSwitcher>();
    if (demo->DevicePath().isEmpty()) {
        std::fprintf(stderr,
                     "quorvex: the demo switcher needs a pseudo-terminal; none could be had\n");
        return false;
    }
    for (int n = 1; n <= qv::kComPortCount; ++n)
        if (!p.host.comDevices.contains(n)) p.host.comDevices.insert(n, demo->DevicePath());
    std::fprintf(stderr, "quorvex: demo switcher on %s\n", qPrintable(demo->DevicePath()));
    return true;
}

// The longest login timeout taken (a day).
constexpr int kMaxLoginTimeoutS = 86'400;

[[noreturn]] void BadOption(const char* option, const QString& value, const std::string& wants) {
    std::fprintf(stderr, "quorvex: %s wants %s, got '%s'\n", option, wants.c_str(),
                 qPrintable(value));
    std::exit(2);
}

// Exits the process for --help, --version and bad options.
Parsed ParseCommandLine(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Quorvex switcher network server"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption headless(QStringLiteral("headless"),
                                      QStringLiteral("Run without a window, as a service."));
    const QCommandLineOption dir(QStringLiteral("dir"),
                                 QStringLiteral("Folder of the settings file and event log."),
                                 QStringLiteral("DIR"));
    const QCommandLineOption com(QStringLiteral("com"),
                                 QStringLiteral("COM port N is the serial device at DEVICE."),
                                 QStringLiteral("N=DEVICE"));
    QCommandLineOption shots(
        QStringLiteral("screenshots"),
        QStringLiteral("Save the window and dialogs as PNG in DIR, then exit."),
        QStringLiteral("DIR"));
    shots.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(headless);
    parser.addOption(dir);
    parser.addOption(com);
    parser.addOption(shots);
    const QCommandLineOption demo(
        QStringLiteral("demo"),
        QStringLiteral("Run with a simulated switcher on a pseudo-terminal."));
    parser.addOption(demo);
    const QCommandLineOption bind(
        QStringLiteral("bind"),
        QStringLiteral("Take connections on ADDRESS only (IPv4 or IPv6; :: for every address of "
                       "both families). Default: every IPv4 address."),
        QStringLiteral("ADDRESS"));
    parser.addOption(bind);
    const QCommandLineOption allow(
        QStringLiteral("allow"),
        QStringLiteral("Take clients from this address or range only (repeatable). Default: "
                       "every address; headless with no password set, this machine only."),
        QStringLiteral("ADDRESS[/PREFIX]"));
    parser.addOption(allow);
    const QCommandLineOption loginTimeout(
        QStringLiteral("login-timeout"),
        QStringLiteral("Put off a client still awaiting its password SECONDS after it connected "
                       "(0: never, the default)."),
        QStringLiteral("SECONDS"));
    parser.addOption(loginTimeout);
    const QCommandLineOption status(
        QStringLiteral("status"),
        QStringLiteral("Serve a read-only status page, its JSON (/api/status) and metrics "
                       "(/metrics) over HTTP on ADDRESS:PORT, for example 127.0.0.1:8125."),
        QStringLiteral("ADDRESS:PORT"));
    parser.addOption(status);
    const QCommandLineOption statusName(
        QStringLiteral("status-name"),
        QStringLiteral("A host name the status page also answers to (repeatable). It answers "
                       "only requests addressed to its own address or localhost otherwise."),
        QStringLiteral("NAME"));
    parser.addOption(statusName);
    const QCommandLineOption showSettings(
        QStringLiteral("show-settings"),
        QStringLiteral("Print the settings of DIR's quorvex.ini, one Key=Value a line (the "
                       "password only as set or not set), then exit."));
    parser.addOption(showSettings);
    const QCommandLineOption set(
        QStringLiteral("set"),
        QStringLiteral("Set a key of DIR's quorvex.ini (repeatable): Serial Port, Baud Rate, "
                       "TCP/IP Port, Stay On Top, Max List Size, Maintain Log File, Pass Thru. "
                       "Every value is checked, the file written once, then exit. A server "
                       "running on DIR applies the change at once."),
        QStringLiteral("KEY=VALUE"));
    parser.addOption(set);
    const QCommandLineOption setPassword(
        QStringLiteral("set-password"),
        QStringLiteral("Set the client password in DIR's quorvex.ini from standard input (asked "
                       "twice without echo on a terminal, else its first line; empty: no "
                       "password), then exit. A server running on DIR takes it at once."));
    parser.addOption(setPassword);
    parser.process(app);

    Parsed p;
    p.settings.show = parser.isSet(showSettings);
    p.settings.sets = parser.values(set);
    p.settings.setPassword = parser.isSet(setPassword);
    p.headless = parser.isSet(headless);
    p.screenshots = parser.value(shots);
    p.demo = parser.isSet(demo);
    p.host.folder = parser.isSet(dir) ? parser.value(dir) : QCoreApplication::applicationDirPath();
    for (const QString& m : parser.values(com)) {
        const qsizetype eq = m.indexOf(QLatin1Char('='));
        bool ok = false;
        const int n = eq > 0 ? m.left(eq).toInt(&ok) : 0;
        if (!ok || n < 1 || n > qv::kIntegerMax || eq + 1 >= m.size()) {
            std::fprintf(stderr, "quorvex: --com wants N=DEVICE with N from 1, got '%s'\n",
                         qPrintable(m));
            std::exit(2);
        }
        p.host.comDevices.insert(n, m.mid(eq + 1));
    }
    if (parser.isSet(bind) && !qv::ParseListenAddress(parser.value(bind), &p.host.listenAddress))
        BadOption("--bind", parser.value(bind), "an IPv4 or IPv6 address, or ::");
    for (const QString& range : parser.values(allow))
        if (!p.host.allow.Add(range))
            BadOption("--allow", range, "an address or ADDRESS/PREFIX, IPv4 or IPv6");
    if (parser.isSet(loginTimeout)) {
        bool ok = false;
        const int seconds = parser.value(loginTimeout).toInt(&ok);
        if (!ok || seconds < 0 || seconds > kMaxLoginTimeoutS)
            BadOption("--login-timeout", parser.value(loginTimeout),
                      "whole seconds from 0 to " + std::to_string(kMaxLoginTimeoutS));
        p.host.loginTimeoutMs = seconds * 1000LL;
    }
    if (parser.isSet(status)) {
        qv::StatusEndpoint at;
        if (!qv::ParseStatusEndpoint(parser.value(status), at)) {
            std::fprintf(stderr,
                         "quorvex: --status wants ADDRESS:PORT (an IP address, [IPv6] or "
                         "localhost, and a port from 1 to 65535), got '%s'\n",
                         qPrintable(parser.value(status)));
            std::exit(2);
        }
        p.host.status = at;
    }
    for (QString name : parser.values(statusName)) {
        if (name.endsWith(QLatin1Char('.'))) name.chop(1);
        if (!p.host.status) BadOption("--status-name", name, "--status as well");
        if (!qv::IsHostName(name))
            BadOption("--status-name", name, "a host name (letters, digits, hyphens and dots)");
        p.host.statusNames.append(name.toLower());
    }
    return p;
}

int RunHeadless(QCoreApplication& app, const qv::HostOptions& options) {
    bool refused = false;
    const auto lock = qv::LockFolder(options.folder, &refused);
    if (refused) return 1;
    qv::HeadlessView view;
    qv::ServerHost host(options, view);
    if (!host.StartStatusPage()) return 1;
    qv::Server& server = host.server();
    qv::HistoryPrinter printer;
    server.recorder().AddSink(printer);
    qv::SlowedAddressPrinter slowed;
    server.AddWatch(slowed);
    qv::OnStopSignal(&app, [&server] { server.Stop(); });
    host.LocalOnlyUntilPassword();  // before the first client can come
    server.Start();
    host.LocalOnlyUntilPassword();  // the password read
    qv::SettingsWatch watch(server, options.folder);
    qv::OnReloadSignal(&app, [&server] { server.ReloadSettings(); });
    host.Started();
    return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("quorvex"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(qv::kVersion));
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmark Media Technologies"));
    qv::IgnoreBrokenPipes();          // before anything can write to a pipe
    qv::net::RaiseDescriptorLimit();  // each client holds a descriptor

    bool headless = WantsHeadless(argc, argv);
    if (!headless && !HasDisplay()) {
        std::fprintf(stderr, "quorvex: no display found, running headless\n");
        headless = true;
    }
    if (headless) {
        QCoreApplication app(argc, argv);
        std::unique_ptr<qv::DemoSwitcher> demo;  // goes before the application object
        Parsed p = ParseCommandLine(app);
        if (p.settings.Any()) return qv::RunSettingsCommand(p.host.folder, p.settings);
        if (!StartDemo(p, demo)) return 1;
        return RunHeadless(app, p.host);
    }
    QApplication app(argc, argv);
    std::unique_ptr<qv::DemoSwitcher> demo;
    Parsed p = ParseCommandLine(app);
    if (!StartDemo(p, demo)) return 1;
    if (p.headless) return RunHeadless(app, p.host);
    return qv::RunWindow(app, p.host, p.screenshots);
}
