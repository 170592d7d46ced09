// End to end with the switcher simulator: the real server and the real simulator, joined by a
// pseudo-terminal; two panels on loopback.
#include <QProcess>
#include <QRegularExpression>
#include <csignal>

#include "live.h"

using namespace qv::test;

class TestSimulator : public QObject {
    Q_OBJECT
  private slots:
    void takeReachesEveryPanelAndTheRecords();
};

void TestSimulator::takeReachesEveryPanelAndTheRecords() {
    QProcess sim;
    sim.start(QStringLiteral(QUORVEX_SIM), {"--quit-after", "60"});
    QVERIFY(sim.waitForStarted(5000));
    QVERIFY(QTest::qWaitFor([&] { return sim.canReadLine(); }, 5000));
    const QByteArray line = sim.readLine().trimmed();
    QVERIFY2(line.startsWith("DEVICE "), line.constData());
    const QString device = QString::fromLocal8Bit(line.mid(7));

    QTemporaryDir dir;
    const quint16 port = FreePort();
    QFile ini(dir.filePath("quorvex.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[CONFIGURATION]\r\nSerial Port=1\r\nBaud Rate=9600\r\nTCP/IP Port=" +
              QByteArray::number(port) +
              "\r\nStay On Top=No\r\nMax List Size=25\r\nMaintain Log File=Yes\r\nPass Thru=No\r\n"
              "Password=qcvw\r\n");  // "pass", stored scrambled
    ini.close();

    QProcess server;
    server.start(QStringLiteral(QUORVEX_BIN),
                 {"--headless", "--dir", dir.path(), "--com", "1=" + device});
    QVERIFY(server.waitForStarted(5000));

    auto connectPanel = [&](QTcpSocket& s) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            s.connectToHost(QHostAddress::LocalHost, port);
            if (s.waitForConnected(500)) break;
            QTest::qWait(50);
        }
        QCOMPARE(LiveServer::Receive(s, 15), QByteArray("Enter Password>"));
        s.write("pass");
        QCOMPARE(LiveServer::Receive(s, 17), QByteArray("Login Sucessful\r\n"));
    };
    QTcpSocket a, b;
    connectPanel(a);
    connectPanel(b);

    a.write(
        "\x14"
        "003011");  // route source 11 to destination 3
    const QByteArray answer = QByteArray(
                                  "\x18\x03"
                                  "S011T003") +
                              "\x07"
                              "ACK";
    QCOMPARE(LiveServer::Receive(a, answer.size()), answer);
    QCOMPARE(LiveServer::Receive(b, answer.size()), answer);

    ::kill(static_cast<pid_t>(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), 0);
    sim.terminate();
    sim.waitForFinished(5000);

    const QByteArray rows = server.readAllStandardOutput();
    QVERIFY2(rows.contains("127.0.0.1\t^T003011\n"), rows.constData());
    QVERIFY(rows.contains("Switcher COM1\t^X3S011T003\n"));
    QVERIFY(rows.contains("Switcher COM1\t^GACK\n"));
    QFile log(dir.filePath("Eventlog.txt"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    const QString logText = QString::fromLatin1(text);
    QVERIFY2(logText.contains(QRegularExpression("    127\\.0\\.0\\.1 +\\^T003011\r\n")),
             text.constData());
    QVERIFY(logText.contains(QRegularExpression("    Switcher COM1 +\\^X3S011T003\r\n")));
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
