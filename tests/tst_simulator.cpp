// End to end with the switcher simulator: the real server and the real simulator, joined by a
// pseudo-terminal; two panels on loopback.
#include <QRegularExpression>

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
    QVERIFY(sim.waitForStarted(kWaitMs));
    QVERIFY(QTest::qWaitFor([&] { return sim.canReadLine(); }, kWaitMs));
    const QByteArray line = sim.readLine().trimmed();
    QVERIFY2(line.startsWith("DEVICE "), line.constData());
    const QString device = QString::fromLocal8Bit(line.mid(7));

    ServerProcess server;
    const quint16 port = FreePort();
    QVERIFY(server.dir.WriteIni({{"TCP/IP Port", std::to_string(port)},
                                 {"Stay On Top", "No"},
                                 {"Maintain Log File", "Yes"},
                                 {"Password", "qcvw"}}));  // "pass", stored scrambled
    QVERIFY(server.Start(QStringLiteral(QUORVEX_BIN), {"--headless", "--com", "1=" + device}));

    auto connectPanel = [&](QTcpSocket& s) {
        QVERIFY(ConnectWhenListening(s, port));
        QCOMPARE(LiveServer::Receive(s, 15), QByteArray("Enter Password>"));
        s.write("pass");
        QCOMPARE(LiveServer::Receive(s, 17), QByteArray("Login Sucessful\r\n"));
    };
    QTcpSocket a, b;
    connectPanel(a);
    if (QTest::currentTestFailed()) return;
    connectPanel(b);
    if (QTest::currentTestFailed()) return;

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

    QCOMPARE(server.Stop(), 0);
    sim.terminate();
    QVERIFY(sim.waitForFinished(kWaitMs));

    const QByteArray rows = server.proc.readAllStandardOutput();
    QVERIFY2(rows.contains("127.0.0.1\t^T003011\n"), rows.constData());
    QVERIFY(rows.contains("Switcher COM1\t^X3S011T003\n"));
    QVERIFY(rows.contains("Switcher COM1\t^GACK\n"));
    QVERIFY(QFile::exists(server.dir.filePath("Eventlog.txt")));
    const QByteArray text = server.dir.Read("Eventlog.txt");
    const QString logText = QString::fromLatin1(text);
    QVERIFY2(logText.contains(QRegularExpression("    127\\.0\\.0\\.1 +\\^T003011\r\n")),
             text.constData());
    QVERIFY(logText.contains(QRegularExpression("    Switcher COM1 +\\^X3S011T003\r\n")));
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
