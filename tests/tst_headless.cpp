// The real executable, headless: start-up, reports, history rows, SIGTERM and the settings
// file it leaves behind.
#include <sys/socket.h>

#include <QProcess>
#include <csignal>

#include "live.h"

using namespace qv::test;

namespace {

const QByteArray kDefaults =
    "[CONFIGURATION]\r\nSerial Port=1\r\nBaud Rate=9600\r\nTCP/IP Port=1250\r\nStay On Top=Yes\r\n"
    "Max List Size=25\r\nMaintain Log File=No\r\nPass Thru=No\r\nPassword=\r\n";

struct Run {
    QTemporaryDir dir;
    Pty pty;
    QProcess proc;

    void Start(const QStringList& extra = {}, bool headless = true) {
        QStringList args;
        if (headless) args << "--headless";
        args << "--dir" << dir.path() << "--com"
             << "1=" + pty.path() << extra;
        proc.start(QStringLiteral(QUORVEX_BIN), args);
        QVERIFY(proc.waitForStarted(5000));
    }
    void WriteIni(const QByteArray& text) {
        QFile f(dir.filePath("quorvex.ini"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QByteArray Ini() {
        QFile f(dir.filePath("quorvex.ini"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Connects once the server listens; returns the greeting.
    QByteArray Greeting(quint16 port) {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            QTcpSocket c;
            c.connectToHost(QHostAddress::LocalHost, port);
            if (c.waitForConnected(500)) {
                got = LiveServer::Receive(c, 17, 3000);
                // Leaves with a reset, so the server sees it go without output to it.
                const linger reset{1, 0};
                ::setsockopt(int(c.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset,
                             sizeof reset);
                c.abort();
                return got;
            }
            QTest::qWait(50);
        }
        return got;
    }
    int Stop() {
        ::kill(static_cast<pid_t>(proc.processId()), SIGTERM);
        if (!proc.waitForFinished(10000)) return -1;
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -2;
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
};

void TestHeadless::defaultsWithoutSettingsFile() {
    Run r;
    r.Start();
    QCOMPARE(r.Greeting(1250), QByteArray("Login Sucessful\r\n"));
    const termios t = r.pty.Attributes();  // the port was opened 9600,n,8,1
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
    QVERIFY(QTest::qWaitFor([&] { return r.proc.peek(4096).contains("Client Disconnect"); }, 5000));
    QCOMPARE(r.Stop(), 0);
    QCOMPARE(r.Ini(), kDefaults);
    const QByteArray out = r.proc.readAllStandardOutput();
    QVERIFY(out.startsWith("127.0.0.1\tClient Connection Request\n127.0.0.1\tClient Disconnect\n"));
    QCOMPARE(r.proc.readAllStandardError(), QByteArray());
}

void TestHeadless::failingSerialPortIsReportedOnStderr() {
    Run r;
    const quint16 port = FreePort();
    r.WriteIni("[CONFIGURATION]\r\nSerial Port=2\r\nBaud Rate=9600\r\nTCP/IP Port=" +
               QByteArray::number(port) + "\r\n");
    r.Start({"--com", "2=" + r.dir.filePath("no-such-device")});
    QCOMPARE(r.Greeting(port), QByteArray("Login Sucessful\r\n"));  // the listener still runs
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
    const QByteArray emptied =
        "[CONFIGURATION]\r\nSerial Port=0\r\nBaud Rate=\r\nTCP/IP Port=1250\r\nStay On Top=Yes\r\n"
        "Max List Size=0\r\nMaintain Log File=Yes\r\nPass Thru=No\r\nPassword=\r\n";
    QTest::newRow("binary garbage") << garbage << emptied;
    QTest::newRow("huge") << kDefaults + QByteArray(8 * 1024 * 1024, 'x') << kDefaults;
    QTest::newRow("key repeated") << QByteArray(kDefaults).replace(
                                         "Max List Size=25", "Max List Size=9\r\nMax List Size=30")
                                  << QByteArray(kDefaults).replace("Max List Size=25",
                                                                   "Max List Size=9");
    QTest::newRow("read error deletes the file")
        << QByteArray(kDefaults).replace("Max List Size=25", "Max List Size=40000") << kDefaults;
}

void TestHeadless::badSettingsFiles() {
    QFETCH(QByteArray, file);
    Run r;
    r.WriteIni(file);
    r.Start();
    QCOMPARE(r.Greeting(1250), QByteArray("Login Sucessful\r\n"));
    const bool readError = file.contains("Max List Size=40000");
    QCOMPARE(QFile::exists(r.dir.filePath("quorvex.ini")), !readError);  // deleted after the error
    QCOMPARE(r.Stop(), 0);
    QTEST(r.Ini(), "written");
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
    r.WriteIni(QByteArray(kDefaults).replace("TCP/IP Port=1250",
                                             "TCP/IP Port=" + QByteArray::number(port)));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* k : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(k);
    r.proc.setProcessEnvironment(env);
    r.Start({}, false);
    QCOMPARE(r.Greeting(port), QByteArray("Login Sucessful\r\n"));
    QCOMPARE(r.Stop(), 0);
    QVERIFY(r.proc.readAllStandardError().contains("no display"));
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
