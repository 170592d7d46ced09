// The real executable as a notify service: a datagram socket of the test's own stands for the
// service manager's NOTIFY_SOCKET. Ready after start-up, a status line that follows the
// clients and the switcher link, watchdog pings when asked for, stopping at shut-down.
#include <sys/socket.h>
#include <sys/un.h>

#include <QProcess>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>

#include "vanishing_tty.h"

using namespace qv::test;

namespace {

// The service manager's end: every datagram the program sends, one message each.
class NotifySocket {
  public:
    explicit NotifySocket(const QString& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        if (fd_ < 0 || p.size() >= qsizetype(sizeof a.sun_path)) qFatal("no notify socket");
        std::memcpy(a.sun_path, p.constData(), static_cast<size_t>(p.size()));
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) qFatal("bind failed");
    }
    ~NotifySocket() { ::close(fd_); }
    const QString& path() const { return path_; }
    // Waits until a message satisfying want has come; all messages so far stay in messages.
    bool WaitFor(const std::function<bool(const QByteArray&)>& want, int ms = 10000) {
        return QTest::qWaitFor(
            [&] {
                Drain();
                return std::any_of(messages.begin(), messages.end(), want);
            },
            ms);
    }
    bool WaitFor(const QByteArray& message, int ms = 10000) {
        return WaitFor([&](const QByteArray& m) { return m == message; }, ms);
    }
    int Count(const QByteArray& message) {
        Drain();
        return int(std::count(messages.begin(), messages.end(), message));
    }
    QList<QByteArray> messages;

  private:
    void Drain() {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            // One datagram may carry several assignments, one a line.
            for (const QByteArray& line : QByteArray(buf, n).split('\n'))
                if (!line.isEmpty()) messages << line;
        }
    }
    QString path_;
    int fd_ = -1;
};

QByteArray SettingsFile(quint16 port) {
    return "[CONFIGURATION]\r\nSerial Port=1\r\nBaud Rate=9600\r\nTCP/IP Port=" +
           QByteArray::number(port) +
           "\r\nStay On Top=No\r\nMax List Size=25\r\nMaintain Log File=No\r\nPass Thru=No\r\n"
           "Password=\r\n";
}

}  // namespace

class TestService : public QObject {
    Q_OBJECT
  private slots:
    void notifyProtocol_data();
    void notifyProtocol();
};

void TestService::notifyProtocol_data() {
    QTest::addColumn<QString>("watchdogUsec");
    QTest::newRow("no watchdog") << QString();
    QTest::newRow("watchdog 200 ms") << QStringLiteral("200000");
}

void TestService::notifyProtocol() {
    QFETCH(QString, watchdogUsec);
    QTemporaryDir dir;
    VanishingTty tty;
    NotifySocket manager(dir.filePath("notify"));
    const quint16 port = FreePort();
    {
        QFile ini(dir.filePath("quorvex.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(SettingsFile(port));
    }
    QProcess proc;
    auto end = qScopeGuard([&] {
        if (proc.state() == QProcess::NotRunning) return;
        proc.kill();
        proc.waitForFinished(5000);
    });
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NOTIFY_SOCKET", manager.path());
    env.remove("WATCHDOG_USEC");
    env.remove("WATCHDOG_PID");
    if (!watchdogUsec.isEmpty()) env.insert("WATCHDOG_USEC", watchdogUsec);
    proc.setProcessEnvironment(env);
    proc.start(QStringLiteral(QUORVEX_BIN),
               {"--headless", "--dir", dir.path(), "--com", "1=" + tty.path()});
    QVERIFY(proc.waitForStarted(5000));

    QVERIFY(manager.WaitFor("READY=1"));
    QVERIFY(manager.WaitFor("STATUS=0 clients connected, switcher link open"));
    // Start-up's own changes come as one status after READY.
    QCOMPARE(manager.messages.indexOf("READY=1"), 0);
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        QVERIFY(manager.WaitFor("STATUS=1 client connected, switcher link open"));
        client.disconnectFromHost();
    }
    QVERIFY(QTest::qWaitFor(
        [&] { return manager.Count("STATUS=0 clients connected, switcher link open") == 2; },
        10000));

    tty.Vanish();  // the adapter is unplugged
    QVERIFY(manager.WaitFor("STATUS=0 clients connected, switcher link down, retrying"));

    if (!watchdogUsec.isEmpty()) {
        // Pings at half the watchdog time, from the event loop; a few are enough to show it.
        QVERIFY(QTest::qWaitFor([&] { return manager.Count("WATCHDOG=1") >= 3; }, 10000));
    }
    ::kill(static_cast<pid_t>(proc.processId()), SIGTERM);
    QVERIFY(proc.waitForFinished(10000));
    QCOMPARE(proc.exitCode(), 0);
    QVERIFY(manager.WaitFor("STOPPING=1"));
    QCOMPARE(manager.Count("STOPPING=1"), 1);
    QCOMPARE(manager.Count("READY=1"), 1);
    if (watchdogUsec.isEmpty()) QCOMPARE(manager.Count("WATCHDOG=1"), 0);
    // Nothing after STOPPING, and shut-down's closing of the port is no status.
    QCOMPARE(manager.messages.last(), QByteArray("STOPPING=1"));
    const QByteArray err = proc.readAllStandardError();
    QVERIFY2(err.contains("Switcher Server Error  Error #  8010 - Device removed"),
             err.constData());
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
