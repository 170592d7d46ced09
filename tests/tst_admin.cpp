// Running without a window: the settings commands on a folder, a running server taking their
// changes at once (and on SIGHUP), one server per folder, and no open door while no password is
// set.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "app/settings_watch.h"
#include "live.h"
#include "netns.h"
#include "records/settings.h"

using namespace qv;
using namespace qv::test;

namespace {

const QByteArray kLoggedIn = "Login Sucessful\r\n";
const QByteArray kAskPassword = "Enter Password>";

QByteArray IniBytes(const IniKeys& over = {}) {
    return QByteArray::fromStdString(IniText(over));
}

struct Result {
    int code = -1;
    QByteArray out, err;
};

// The settings command on dir; input goes to its standard input (then closed).
Result Command(const TestFolder& dir, const QStringList& args, const QByteArray& input = {}) {
    QProcess p;
    p.start(QStringLiteral(QUORVEX_BIN), QStringList{"--dir", dir.path()} + args);
    Result r;
    if (!p.waitForStarted(kWaitMs)) return r;
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(kStopMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// The executable headless on a folder of the test's own, COM 1 on a pseudo-terminal.
struct Run : ServerProcess {
    Pty pty;
    quint16 port = FreePort();

    [[nodiscard]] bool Start(IniKeys over = {}, const QStringList& extra = {}) {
        over.emplace("TCP/IP Port", std::to_string(port));
        if (!dir.WriteIni(over)) return false;
        return ServerProcess::Start(QStringLiteral(QUORVEX_BIN),
                                    QStringList{"--headless", "--com", "1=" + pty.path()} + extra);
    }
    ~Run() {
        if (proc.state() != QProcess::NotRunning) Stop();
    }
};

// Connects from this machine once the server listens on port; null if it does not in time.
std::unique_ptr<QTcpSocket> LocalClient(quint16 port) {
    auto c = std::make_unique<QTcpSocket>();
    if (!ConnectWhenListening(*c, port)) return nullptr;
    return c;
}

// True while c is connected and nothing has ended it.
bool StillConnected(QTcpSocket& c) {
    QTest::qWait(200);
    return c.state() == QAbstractSocket::ConnectedState;
}

}  // namespace

class TestAdmin : public QObject {
    Q_OBJECT
  private slots:
    void showSettings();
    void setEachKey_data();
    void setEachKey();
    void badValuesWriteNothing_data();
    void badValuesWriteNothing();
    void passwordFromPipe();
    void passwordFromTerminalWithoutEcho();
    void runningServerTakesChanges();
    void newTcpPortMovesTheListener();
    void sighupRereadsAndKeepsRunning();
    void newerFileNotOverwrittenAtShutdown();
    void oneServerPerFolder();
    void noPasswordTakesLocalClientsOnly();
};

void TestAdmin::showSettings() {
    TestFolder dir;
    Result r = Command(dir, {"--show-settings"});  // no file: the start-up values
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QByteArray("Serial Port=1\nBaud Rate=9600\nTCP/IP Port=1250\nStay On Top=Yes\n"
                               "Max List Size=25\nMaintain Log File=No\nPass Thru=No\n"
                               "Password=not set\n"));
    QVERIFY(!QFile::exists(dir.filePath("quorvex.ini")));  // showing writes nothing

    const IniKeys keys = {{"Serial Port", "3"},  {"TCP/IP Port", "4000"},
                          {"Pass Thru", "Yes"},  {"Max List Size", "7"},
                          {"Stay On Top", "No"}, {"Password", ScramblePassword("Sesame")}};
    QVERIFY(dir.WriteIni(keys));
    r = Command(dir, {"--show-settings"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QByteArray("Serial Port=3\nBaud Rate=9600\nTCP/IP Port=4000\nStay On Top=No\n"
                               "Max List Size=7\nMaintain Log File=No\nPass Thru=Yes\n"
                               "Password=set\n"));
    QVERIFY(!r.out.contains("Sesame") && !r.err.contains("Sesame"));
    QCOMPARE(dir.Read("quorvex.ini"), IniBytes(keys));
}

void TestAdmin::setEachKey_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("serial port") << "Serial Port"
                                 << "16";
    QTest::newRow("baud rate") << "Baud Rate"
                               << "115200";
    QTest::newRow("tcp port") << "TCP/IP Port"
                              << "65535";
    QTest::newRow("stay on top") << "Stay On Top"
                                 << "No";
    QTest::newRow("max list size") << "Max List Size"
                                   << "32767";
    QTest::newRow("log file") << "Maintain Log File"
                              << "Yes";
    QTest::newRow("pass thru") << "Pass Thru"
                               << "Yes";
}

// Only the key set changes: every other byte of the file, and the order of its keys, stay.
void TestAdmin::setEachKey() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    TestFolder dir;
    const IniKeys before = {{"TCP/IP Port", "2001"}, {"Password", ScramblePassword("pw")}};
    QVERIFY(dir.WriteIni(before));
    const Result r = Command(dir, {"--set", key + "=" + value});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, (key + "=" + value + "\n").toUtf8());
    IniKeys after = before;
    after[key.toStdString()] = value.toStdString();
    QCOMPARE(dir.Read("quorvex.ini"), IniBytes(after));
}

void TestAdmin::badValuesWriteNothing_data() {
    QTest::addColumn<QStringList>("sets");
    QTest::addColumn<QString>("named");  // what the one line names
    const auto row = [](const char* name, QStringList sets, const char* named) {
        QTest::newRow(name) << sets << QString::fromLatin1(named);
    };
    row("COM 0", {"Serial Port=0"}, "Serial Port=0");
    row("COM 17", {"Serial Port=17"}, "Serial Port=17");
    row("COM text", {"Serial Port=two"}, "Serial Port=two");
    row("baud not offered", {"Baud Rate=4800"}, "Baud Rate=4800");
    row("port 0", {"TCP/IP Port=0"}, "TCP/IP Port=0");
    row("port 65536", {"TCP/IP Port=65536"}, "TCP/IP Port=65536");
    row("port empty", {"TCP/IP Port="}, "TCP/IP Port=");
    row("not yes or no", {"Stay On Top=maybe"}, "Stay On Top=maybe");
    row("list size 0", {"Max List Size=0"}, "Max List Size=0");
    row("list size past 16 bits", {"Max List Size=32768"}, "Max List Size=32768");
    row("pass thru 1", {"Pass Thru=1"}, "Pass Thru=1");
    row("log with pass thru", {"Pass Thru=Yes", "Maintain Log File=Yes"}, "Maintain Log File=Yes");
    row("unknown key", {"Colour=Red"}, "Colour=Red");
    row("no equals sign", {"Serial Port"}, "Serial Port");
    row("password", {"Password=abc"}, "Password");
    row("good then bad", {"Serial Port=2", "Baud Rate=1"}, "Baud Rate=1");
}

void TestAdmin::badValuesWriteNothing() {
    QFETCH(QStringList, sets);
    QFETCH(QString, named);
    TestFolder dir;
    QVERIFY(dir.WriteIni({{"TCP/IP Port", "2001"}}));
    const QByteArray before = dir.Read("quorvex.ini");
    QStringList args;
    for (const QString& s : sets) args << "--set" << s;
    const Result r = Command(dir, args);
    QCOMPARE(r.code, 2);
    QCOMPARE(r.out, QByteArray());
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.contains(named.toUtf8()), r.err.constData());
    QVERIFY2(!sets.join(' ').contains("abc") || !r.err.contains("abc"), r.err.constData());
    QCOMPARE(dir.Read("quorvex.ini"), before);
}

void TestAdmin::passwordFromPipe() {
    TestFolder dir;
    const IniKeys keys = {{"Serial Port", "4"}, {"Stay On Top", "No"}};
    QVERIFY(dir.WriteIni(keys));
    // The first line only, without its line end.
    Result r = Command(dir, {"--set-password"}, "Open Sesame\r\nsecond line\n");
    QCOMPARE(r.code, 0);
    QVERIFY(!r.out.contains("Sesame") && !r.err.contains("Sesame"));
    IniKeys with = keys;
    with["Password"] = ScramblePassword("Open Sesame");
    QCOMPARE(dir.Read("quorvex.ini"), IniBytes(with));
    QCOMPARE(Command(dir, {"--show-settings"}).out.right(13), QByteArray("Password=set\n"));

    // One that cannot be stored (its last character would pass code 255) is refused.
    r = Command(dir, {"--set-password"}, QByteArray("ab\xff") + "\n");
    QCOMPARE(r.code, 2);
    QCOMPARE(r.err.count('\n'), 1);
    QCOMPARE(dir.Read("quorvex.ini"), IniBytes(with));

    // An empty one clears it.
    r = Command(dir, {"--set-password"}, "\n");
    QCOMPARE(r.code, 0);
    QCOMPARE(dir.Read("quorvex.ini"), IniBytes(keys));
}

// On a terminal it asks twice and the terminal shows nothing of what is typed.
void TestAdmin::passwordFromTerminalWithoutEcho() {
    TestFolder dir;
    QVERIFY(dir.WriteIni());
    int master = -1, slave = -1;
    QVERIFY(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);  // echo on, as typed
    const QString slavePath = QString::fromLocal8Bit(::ttyname(slave));
    auto end = qScopeGuard([&] {
        ::close(master);
        ::close(slave);
    });
    QProcess p;
    p.setStandardInputFile(slavePath);
    p.start(QStringLiteral(QUORVEX_BIN), {"--dir", dir.path(), "--set-password"});
    QVERIFY(p.waitForStarted(kWaitMs));
    QByteArray err;
    const auto prompted = [&](const char* prompt) {
        return QTest::qWaitFor(
            [&] {
                err += p.readAllStandardError();
                return err.contains(prompt);
            },
            kWaitMs);
    };
    QVERIFY(prompted("New password"));
    QCOMPARE(::write(master, "Tr0ub4dor\n", 10), ssize_t(10));
    QVERIFY(prompted("same again"));
    QCOMPARE(::write(master, "Tr0ub4dor\n", 10), ssize_t(10));
    QVERIFY(p.waitForFinished(kStopMs));
    QCOMPARE(p.exitCode(), 0);
    QByteArray shown;  // what the terminal echoed
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    char buf[256];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) shown.append(buf, n);
    QVERIFY2(!shown.contains("Tr0ub4dor"), shown.constData());
    QVERIFY(!p.readAllStandardOutput().contains("Tr0ub4dor"));
    QCOMPARE(dir.Read("quorvex.ini"), IniBytes({{"Password", ScramblePassword("Tr0ub4dor")}}));
}

// A server on the folder: a new password asks the next client for it while the one logged in
// stays; Pass Thru and Max List Size are in force at once, the history trimmed.
void TestAdmin::runningServerTakesChanges() {
    LiveServer s;
    SettingsWatch watch(s.server(), s.dir.path());
    auto in = s.Connect();
    QVERIFY(in);
    QCOMPARE(LiveServer::Receive(*in, kLoggedIn.size()), kLoggedIn);
    std::vector<std::unique_ptr<QTcpSocket>> more;  // history rows
    for (int i = 0; i < 3; ++i) {
        more.push_back(s.Connect());
        QVERIFY(more.back());
    }
    QVERIFY(QTest::qWaitFor([&] { return s.server().history().Rows().size() >= 4; }, kWaitMs));

    QCOMPARE(Command(s.dir, {"--set-password"}, "Sesame\n").code, 0);
    QVERIFY(QTest::qWaitFor([&] { return s.settings().Password == "Sesame"; }, kWaitMs));
    auto next = s.Connect();
    QVERIFY(next);
    QCOMPARE(LiveServer::Receive(*next, kAskPassword.size()), kAskPassword);
    // The client already in stays in: its take reaches the switcher.
    QVERIFY(in->write("\x14"
                      "003011") == 7 &&
            in->flush());
    QVERIFY(s.SwitcherReceives(7).contains("\x14"));
    QVERIFY(StillConnected(*in));

    QCOMPARE(Command(s.dir, {"--set", "Pass Thru=Yes", "--set", "Max List Size=2"}).code, 0);
    QVERIFY(QTest::qWaitFor([&] { return s.settings().PassThruMode; }, kWaitMs));
    QCOMPARE(s.settings().MaxListSize, Integer(2));
    QCOMPARE(s.server().history().Rows().size(), std::size_t(2));
    QCOMPARE(s.state().StatusPanel[3], std::string("Pass Thru Mode: ON "));
    QVERIFY(StillConnected(*in));
    QVERIFY(StillConnected(*next));
}

// A new TCP port moves the listener, which puts every client off as the setup dialog does.
void TestAdmin::newTcpPortMovesTheListener() {
    LiveServer s;
    SettingsWatch watch(s.server(), s.dir.path());
    auto in = s.Connect();
    QVERIFY(in);
    const quint16 moved = FreePort();
    QCOMPARE(Command(s.dir, {"--set", QStringLiteral("TCP/IP Port=%1").arg(moved)}).code, 0);
    QVERIFY(QTest::qWaitFor([&] { return s.settings().TcpPort == moved; }, kWaitMs));
    QVERIFY(
        QTest::qWaitFor([&] { return in->state() == QAbstractSocket::UnconnectedState; }, kWaitMs));
    QTcpSocket c;
    c.connectToHost(QHostAddress::LocalHost, moved);
    QVERIFY(c.waitForConnected(kWaitMs));
    QCOMPARE(LiveServer::Receive(c, kLoggedIn.size()), kLoggedIn);
}

// systemctl reload: SIGHUP re-reads the file and the server goes on.
void TestAdmin::sighupRereadsAndKeepsRunning() {
    Run r;
    QVERIFY(r.Start());
    auto c = LocalClient(r.port);
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, kLoggedIn.size()), kLoggedIn);
    for (int i = 0; i < 3; ++i) {
        ::kill(static_cast<pid_t>(r.proc.processId()), SIGHUP);
        QVERIFY(StillConnected(*c));
    }
    QCOMPARE(r.proc.state(), QProcess::Running);
    QCOMPARE(Command(r.dir, {"--set-password"}, "Sesame\n").code, 0);
    ::kill(static_cast<pid_t>(r.proc.processId()), SIGHUP);
    QVERIFY(QTest::qWaitFor(
        [&] {
            QTcpSocket next;
            next.connectToHost(QHostAddress::LocalHost, r.port);
            return next.waitForConnected(kWaitMs) &&
                   LiveServer::Receive(next, kAskPassword.size()) == kAskPassword;
        },
        kWaitMs));
    QVERIFY(StillConnected(*c));
    QCOMPARE(r.Stop(), 0);
}

// A COM port that cannot be opened is given up as the setup dialog gives it up, but the file
// the administrator wrote is not overwritten with the older values at shut-down.
void TestAdmin::newerFileNotOverwrittenAtShutdown() {
    Run r;
    QVERIFY(r.Start({}, {"--com", "2=" + r.dir.filePath("no-such-device")}));
    QVERIFY(LocalClient(r.port));
    QCOMPARE(Command(r.dir, {"--set", "Serial Port=2"}).code, 0);
    const QByteArray written = r.dir.Read("quorvex.ini");
    QByteArray err;
    QVERIFY(QTest::qWaitFor(
        [&] {
            err += r.proc.readAllStandardError();
            return err.contains("Switcher Server Error");
        },
        kWaitMs));  // the reopen failed and was reported
    QCOMPARE(r.Stop(), 0);
    QCOMPARE(r.dir.Read("quorvex.ini"), written);
    QVERIFY(written.contains("Serial Port=2\r\n"));
}

void TestAdmin::oneServerPerFolder() {
    Run r;
    QVERIFY(r.Start());
    QVERIFY(LocalClient(r.port));
    const Result second = Command(r.dir, {"--headless", "--com", "1=" + r.pty.path()});
    QCOMPARE(second.code, 1);
    QCOMPARE(second.err.count('\n'), 1);
    QVERIFY2(second.err.contains("another server"), second.err.constData());
    // The settings commands work while it runs.
    QCOMPARE(Command(r.dir, {"--show-settings"}).code, 0);
    QCOMPARE(r.Stop(), 0);
    // Gone, the folder is free again.
    QVERIFY(r.Start());
    QVERIFY(LocalClient(r.port));
    QCOMPARE(r.Stop(), 0);
}

// Headless without a password and without --allow: a client from another machine is refused
// (no greeting, no row) and said so on stderr; one from this machine is served. Once a password
// is set the other machine is asked for it.
void TestAdmin::noPasswordTakesLocalClientsOnly() {
    Namespace ns;
    if (!ns.up) QSKIP("no network namespace here (needs root and ip netns)");
    Run r;
    QVERIFY(r.Start());
    auto local = LocalClient(r.port);
    QVERIFY(local);
    QCOMPARE(LiveServer::Receive(*local, kLoggedIn.size()), kLoggedIn);
    // What a client inside the namespace receives in its first two seconds.
    const auto remote = [&] {
        QProcess p;
        p.start("ip", {"netns", "exec", ns.name, "bash", "-c",
                       QStringLiteral("exec 3<>/dev/tcp/%1/%2 && timeout 2 cat <&3")
                           .arg(ns.outerAddress)
                           .arg(r.port)});
        if (!p.waitForFinished(kWaitMs)) p.kill();
        return p.readAllStandardOutput();
    };
    QCOMPARE(remote(), QByteArray());
    QByteArray err;
    const QByteArray said = "refused a connection from " + ns.innerAddress.toUtf8() +
                            ": no password is set: only local clients are taken";
    QVERIFY(QTest::qWaitFor(
        [&] {
            err += r.proc.readAllStandardError();
            return err.contains(said);
        },
        kWaitMs));
    QCOMPARE(remote(), QByteArray());  // said once a minute, refused every time
    QCOMPARE(err.count(said), 1);
    QVERIFY(!r.proc.readAllStandardOutput().contains(ns.innerAddress.toUtf8()));

    QCOMPARE(Command(r.dir, {"--set-password"}, "Sesame\n").code, 0);
    QVERIFY(QTest::qWaitFor([&] { return remote() == kAskPassword; }, kWaitMs));
    QVERIFY(StillConnected(*local));
    QCOMPARE(r.Stop(), 0);
}

QTEST_MAIN(TestAdmin)
#include "tst_admin.moc"
