// The real executable, headless: start-up, reports, history rows, SIGTERM and the settings
// file it leaves behind.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "live.h"
#include "records/settings.h"

using namespace qv::test;

namespace {

const QByteArray kLoggedIn = "Login Sucessful\r\n";
// What the program writes when it read no settings file.
const QByteArray kDefaults = QByteArray::fromStdString(IniText());

QByteArray IniBytes(const IniKeys& over) {
    return QByteArray::fromStdString(IniText(over));
}

// The executable on a folder of the test's own, COM 1 on a pseudo-terminal.
struct Run : ServerProcess {
    Pty pty;

    [[nodiscard]] bool Start(const QStringList& extra = {}, bool headless = true) {
        QStringList args;
        if (headless) args << "--headless";
        args << "--com"
             << "1=" + pty.path() << extra;
        return ServerProcess::Start(QStringLiteral(QUORVEX_BIN), args);
    }
    // Connects once the server listens; returns the greeting, empty if none came.
    QByteArray Greeting(quint16 port) {
        QTcpSocket c;
        if (!ConnectWhenListening(c, port)) return {};
        const QByteArray got = LiveServer::Receive(c, 17, 3000);
        c.disconnectFromHost();
        return got;
    }
};

}  // namespace

class TestHeadless : public QObject {
    Q_OBJECT
  private slots:
    void defaultsWithoutSettingsFile();
    void failingSerialPortIsReportedOnStderr();
    void badSettingsFiles_data();
    void badSettingsFiles();
    void commandLine();
    void noDisplayRunsHeadless();
    void closedStdoutPipe();
    void unreadableFileKeepsPasswordAndText();
};

void TestHeadless::defaultsWithoutSettingsFile() {
    Run r;
    QVERIFY(r.Start());
    QCOMPARE(r.Greeting(1250), kLoggedIn);
    const termios t = r.pty.Attributes();  // the port was opened 9600,n,8,1
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
    QVERIFY(QTest::qWaitFor([&] { return r.proc.peek(4096).contains("Client Disconnect"); }, 5000));
    QCOMPARE(r.Stop(), 0);
    QCOMPARE(r.dir.Read("quorvex.ini"), kDefaults);
    const QByteArray out = r.proc.readAllStandardOutput();
    QVERIFY(out.startsWith("127.0.0.1\tClient Connection Request\n127.0.0.1\tClient Disconnect\n"));
    QCOMPARE(r.proc.readAllStandardError(), QByteArray());
}

void TestHeadless::failingSerialPortIsReportedOnStderr() {
    Run r;
    const quint16 port = FreePort();
    QVERIFY(r.dir.WriteIni({{"Serial Port", "2"}, {"TCP/IP Port", std::to_string(port)}}));
    QVERIFY(r.Start({"--com", "2=" + r.dir.filePath("no-such-device")}));
    QCOMPARE(r.Greeting(port), kLoggedIn);  // the listener still runs
    QCOMPARE(r.Stop(), 0);
    const QByteArray err = r.proc.readAllStandardError();
    QVERIFY2(err.startsWith("Server Error: Switcher Server Error  Error #  8002 - "),
             err.constData());
    QCOMPARE(err.count('\n'), 1);
}

void TestHeadless::badSettingsFiles_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("written");
    QByteArray garbage(100000, '\0');
    for (int i = 0; i < garbage.size(); ++i) garbage[i] = char((i * 2654435761u) >> 24);
    const QByteArray emptied = IniBytes({{"Serial Port", "0"},
                                         {"Baud Rate", ""},
                                         {"Max List Size", "0"},
                                         {"Maintain Log File", "Yes"}});
    QTest::newRow("binary garbage") << garbage << emptied;
    QTest::newRow("huge") << kDefaults + QByteArray(8 * 1024 * 1024, 'x') << kDefaults;
    QTest::newRow("key repeated") << QByteArray(kDefaults).replace(
                                         "Max List Size=25", "Max List Size=9\r\nMax List Size=30")
                                  << IniBytes({{"Max List Size", "9"}});
    QTest::newRow("read error deletes the file")
        << IniBytes({{"Max List Size", "40000"}}) << kDefaults;
}

void TestHeadless::badSettingsFiles() {
    QFETCH(QByteArray, file);
    Run r;
    QVERIFY(r.dir.Write("quorvex.ini", file));
    QVERIFY(r.Start());
    QCOMPARE(r.Greeting(1250), kLoggedIn);
    const bool readError = file.contains("Max List Size=40000");
    QCOMPARE(QFile::exists(r.dir.filePath("quorvex.ini")), !readError);  // deleted after the error
    QCOMPARE(r.Stop(), 0);
    QTEST(r.dir.Read("quorvex.ini"), "written");
    const QByteArray err = r.proc.readAllStandardError();
    if (readError)
        QCOMPARE(err,
                 QByteArray("File Error: Error Reading quorvex.ini file  Error #  6 - Overflow\n"));
}

void TestHeadless::commandLine() {
    QProcess p;
    p.start(QStringLiteral(QUORVEX_BIN), {"--version"});
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.readAllStandardOutput().trimmed(), QByteArray("quorvex 2.02"));
    p.start(QStringLiteral(QUORVEX_BIN), {"--headless", "--com", "x=/dev/null"});
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(p.readAllStandardError().contains("--com"));
}

void TestHeadless::noDisplayRunsHeadless() {
    Run r;
    const quint16 port = FreePort();
    QVERIFY(r.dir.WriteIni({{"TCP/IP Port", std::to_string(port)}}));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* k : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(k);
    r.proc.setProcessEnvironment(env);
    QVERIFY(r.Start({}, false));
    QCOMPARE(r.Greeting(port), kLoggedIn);
    QCOMPARE(r.Stop(), 0);
    QVERIFY(r.proc.readAllStandardError().contains("no display"));
}

// Standard output is a pipe whose reader has gone (a log collector that ended): the history
// rows written to it fail, and the server keeps running and serving.
void TestHeadless::closedStdoutPipe() {
    int fds[2];
    QCOMPARE(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);  // nobody will read
    const int writeEnd = fds[1];
    Run r;
    const quint16 port = FreePort();
    QVERIFY(r.dir.WriteIni({{"TCP/IP Port", std::to_string(port)}}));
    r.proc.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
    const bool started = r.Start();
    ::close(writeEnd);
    QVERIFY(started);
    for (int i = 0; i < 3; ++i) {  // each one writes rows to the dead pipe
        QCOMPARE(r.Greeting(port), kLoggedIn);
        QTest::qWait(50);
        QCOMPARE(r.proc.state(), QProcess::Running);
    }
    QCOMPARE(r.Stop(), 0);
    QCOMPARE(r.dir.Read("quorvex.ini"), IniBytes({{"TCP/IP Port", std::to_string(port)}}));
}

// A settings file that fails to read (a Max List Size beyond its width) still guards the door
// with its password, its text is kept beside it owner-only, and the file written at shut-down
// holds the password again, owner-only whatever the umask.
void TestHeadless::unreadableFileKeepsPasswordAndText() {
    Run r;
    const quint16 port = FreePort();
    const QByteArray file = IniBytes({{"TCP/IP Port", std::to_string(port)},
                                      {"Max List Size", "40000"},
                                      {"Password", qv::ScramblePassword("Sesame")}});
    QVERIFY(r.dir.Write("quorvex.ini", file));
    r.proc.setChildProcessModifier([] { ::umask(0); });
    QVERIFY(r.Start());
    QTcpSocket c;
    QVERIFY(ConnectWhenListening(c, port));
    QCOMPARE(LiveServer::Receive(c, 15), QByteArray("Enter Password>"));
    c.write("Sesame");
    QCOMPARE(LiveServer::Receive(c, 17), kLoggedIn);
    c.abort();
    QVERIFY(!QFile::exists(r.dir.filePath("quorvex.ini")));  // deleted after the error
    const auto mode = [&](const char* name) {
        struct stat st {};
        return ::stat(r.dir.filePath(name).toLocal8Bit().constData(), &st) == 0
                   ? int(st.st_mode & 07777)
                   : -1;
    };
    QCOMPARE(r.dir.Read("quorvex.ini.unread"), file);
    QCOMPARE(mode("quorvex.ini.unread"), 0600);
    QCOMPARE(r.Stop(), 0);
    QCOMPARE(r.dir.Read("quorvex.ini"), IniBytes({{"TCP/IP Port", std::to_string(port)},
                                                  {"Password", qv::ScramblePassword("Sesame")}}));
    QCOMPARE(mode("quorvex.ini"), 0600);
    QCOMPARE(r.dir.Read("quorvex.ini.unread"), file);
    QCOMPARE(r.proc.readAllStandardError(),
             QByteArray("File Error: Error Reading quorvex.ini file  Error #  6 - Overflow\n"));
}

QTEST_MAIN(TestHeadless)
#include "tst_headless.moc"
