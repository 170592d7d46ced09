// The settings file changed under a running server, on fakes: what changed is applied in the
// setup dialog's order and with its failure rules, and the newer file is not overwritten at
// shut-down.
#include <QtTest>

#include "fakes.h"
#include "ini_text.h"

using namespace qv;
using namespace qv::test;

class TestReload : public QObject {
    Q_OBJECT
  private slots:
    void changesApplied_data();
    void changesApplied();
    void unreadableFileIsReportedAndKept();
};

void TestReload::changesApplied_data() {
    QTest::addColumn<QString>("serialPort");
    QTest::addColumn<QString>("tcpPort");
    QTest::addColumn<QString>("listSize");
    QTest::addColumn<QStringList>("serialCalls");
    QTest::addColumn<long>("listenPort");
    QTest::addColumn<int>("serialPortAfter");
    QTest::newRow("nothing") << "1"
                             << "1250"
                             << "25" << QStringList{} << 1250L << 1;
    QTest::newRow("tcp port") << "1"
                              << "1300"
                              << "25" << QStringList{} << 1300L << 1;
    QTest::newRow("list size") << "1"
                               << "1250"
                               << "2" << QStringList{} << 1250L << 1;
    QTest::newRow("serial port") << "3"
                                 << "1300"
                                 << "25"
                                 << QStringList{"close", "settings 9600,n,8,1", "port 3", "open"}
                                 << 1300L << 3;
    // A port that cannot be opened: the old one is put back and the TCP port not looked at.
    QTest::newRow("serial port fails")
        << "2"
        << "1300"
        << "25" << QStringList{"close", "settings 9600,n,8,1", "port 2", "open"} << 1250L << 1;
}

void TestReload::changesApplied() {
    QFETCH(QString, serialPort);
    QFETCH(QString, tcpPort);
    QFETCH(QString, listSize);
    QFETCH(QStringList, serialCalls);
    QFETCH(long, listenPort);
    QFETCH(int, serialPortAfter);
    CoreFixture f;
    f.serial.failingPorts = {2};
    f.files.files[CoreFixture::kIni] = IniText();
    f.Start();
    for (int i = 1; i <= 4; ++i) f.server->LogIPActivity("row", "10.0.0.1");
    f.serial.calls.clear();
    const std::string edited = IniText({{"Serial Port", serialPort.toStdString()},
                                        {"TCP/IP Port", tcpPort.toStdString()},
                                        {"Max List Size", listSize.toStdString()}});
    f.files.files[CoreFixture::kIni] = edited;
    f.server->ReloadSettings();
    QStringList calls;
    for (const std::string& c : f.serial.calls) calls << QString::fromStdString(c);
    QCOMPARE(calls, serialCalls);
    QCOMPARE(long(f.sockets.listenPort), listenPort);
    QCOMPARE(int(f.settings().SerialPort), serialPortAfter);
    QCOMPARE(f.server->history().Rows().size(), std::size_t(std::min(4, listSize.toInt())));
    // Read again with nothing changed: nothing done again.
    f.serial.calls.clear();
    f.server->ReloadSettings();
    QVERIFY(f.serial.calls.empty());
    // The file holds what was chosen last, also where applying it failed.
    f.server->Stop();
    QCOMPARE(f.files.files[CoreFixture::kIni], edited);
}

void TestReload::unreadableFileIsReportedAndKept() {
    CoreFixture f;
    f.files.files[CoreFixture::kIni] = IniText({{"Password", ScramblePassword("pw")}});
    f.Start();
    const std::string bad = IniText({{"Max List Size", "40000"}});
    f.files.files[CoreFixture::kIni] = bad;
    f.server->ReloadSettings();
    QCOMPARE(f.view.reports.size(), std::size_t(1));
    QCOMPARE(f.view.reports[0].first, std::string("File Error"));
    QCOMPARE(f.settings().Password, std::string("pw"));  // nothing of it taken
    QCOMPARE(f.files.files[CoreFixture::kIni], bad);     // nor deleted
    f.server->ReloadSettings();
    QCOMPARE(f.view.reports.size(), std::size_t(1));  // said once
}

QTEST_MAIN(TestReload)
#include "tst_reload.moc"
