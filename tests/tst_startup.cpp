// Start-up and shut-down on fakes.
#include <QtTest>

#include "fakes.h"
#include "ini_text.h"

using namespace qv;
using namespace qv::test;

class TestStartup : public QObject {
    Q_OBJECT
  private slots:
    void defaultsWithoutFile();
    void listenerFailureSkipsTheRest();
    void serialFailureLeavesListener();
    void tcpPortOutOfRange_data();
    void tcpPortOutOfRange();
    void appPathEndsInOneSeparator_data();
    void appPathEndsInOneSeparator();
    void lampsRedAfterTheirFirstPeriod();
    void shutdownRecordsConnectedClients();
};

void TestStartup::defaultsWithoutFile() {
    CoreFixture f;
    f.Start();
    QCOMPARE(f.sockets.calls, std::vector<std::string>{"listen 1250"});
    QCOMPARE(f.serial.calls, (std::vector<std::string>{"settings 9600,n,8,1", "port 1", "open"}));
    QVERIFY(f.serial.open);
    QCOMPARE(f.settings().MaxListSize, Integer(25));
    QCOMPARE(f.settings().StayOnTopMode, Long(-1));
    QVERIFY(!f.settings().LogFileOn);
    QVERIFY(!f.settings().PassThruMode);
    QVERIFY(f.settings().Password.empty());
    QCOMPARE(f.line().ReadyPrompt, std::string("\x1b[2J\x1b[HQMT READY>"));
    QCOMPARE(f.view.captions[Label::CmdHistory], std::string("Command History - [25 Items]"));
    QCOMPARE(f.view.captions[Label::SerialStatus],
             std::string("Router Serial Activity [COM 1 - 9600 Baud]"));
    QCOMPARE(f.view.captions[Label::RcvMsg], std::string("Processing TCP/IP Message [Port 1250]"));
    QCOMPARE(f.view.tooltips[Label::RcvMsg], std::string("Listening for message on Port 1250"));
    QCOMPARE(f.view.zorder, std::vector<Long>{-1});
    QCOMPARE(f.view.panels[1], std::string("Client Connections: 0000"));
    QVERIFY(!f.help.Enabled());
    QVERIFY(!f.decodeTcp.Enabled());
    QVERIFY(!f.cmndChk.Enabled());
    QVERIFY(f.view.reports.empty());
    QVERIFY(!f.files.Exists(CoreFixture::kIni));  // nothing written until shut-down
}

void TestStartup::listenerFailureSkipsTheRest() {
    CoreFixture f;
    f.sockets.failListen = true;
    f.Start();
    QCOMPARE(f.view.reports.size(), size_t(1));
    QCOMPARE(f.view.reports[0].first, std::string("Server Error"));
    QCOMPARE(f.view.reports[0].second,
             std::string("Switcher Server Error\r\rError #  24048 - Address in use"));
    QVERIFY(f.serial.calls.empty());
    QVERIFY(!f.serial.open);
    QCOMPARE(f.server->ClientSlotCount(), Integer(0));
    QCOMPARE(f.state().ConnectionCount, Integer(0));
}

void TestStartup::serialFailureLeavesListener() {
    CoreFixture f;
    f.serial.failingPorts = {1};
    f.Start();
    QVERIFY(f.sockets.listening);
    QCOMPARE(f.view.reports.size(), size_t(1));
    QCOMPARE(f.view.reports[0].second,
             std::string("Switcher Server Error\r\rError #  8002 - Invalid Port Number"));
    // Clients can still connect and log in.
    f.sockets.Connect("10.0.0.9");
    QCOMPARE(f.sockets.TakeOut(1), std::string("Login Sucessful\r\n"));
}

void TestStartup::tcpPortOutOfRange_data() {
    QTest::addColumn<QString>("stored");
    QTest::newRow("0") << "0";
    QTest::newRow("70000") << "70000";
    QTest::newRow("-5") << "-5";
}

void TestStartup::tcpPortOutOfRange() {
    QFETCH(QString, stored);
    CoreFixture f;
    f.files.files[CoreFixture::kIni] = IniText({{"TCP/IP Port", stored.toStdString()}});
    f.Start();
    QCOMPARE(QString::fromStdString(f.view.captions[Label::RcvMsg]),
             "Processing TCP/IP Message [Port " + stored + "]");
    QCOMPARE(QString::fromStdString(f.view.tooltips[Label::RcvMsg]),
             "Listening for message on Port " + stored);
    QCOMPARE(f.sockets.listenPort, Long(1250));
    f.server->Stop();
    QVERIFY(f.files.files[CoreFixture::kIni].find("TCP/IP Port=1250\r\n") != std::string::npos);
}

void TestStartup::appPathEndsInOneSeparator_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("appPath");
    QTest::newRow("root") << "/"
                          << "/";
    QTest::newRow("folder") << "/srv/q"
                            << "/srv/q/";
    QTest::newRow("folder with separator") << "/srv/q/"
                                           << "/srv/q/";
}

void TestStartup::appPathEndsInOneSeparator() {
    QFETCH(QString, folder);
    FakeScheduler sched;
    FakeTimer a{sched, "a"}, b{sched, "b"}, c{sched, "c"}, d{sched, "d"}, e{sched, "e"},
        r{sched, "r"}, w{sched, "w"}, l{sched, "l"};
    FakeSockets sockets;
    FakeSerial serial;
    FakeView view;
    MemFileSystem files;
    FakeClock clock;
    Server s(Ports{sockets, serial, files, clock, view, Timers{a, b, c, d, e, r, w, l}},
             folder.toStdString(), '/');
    s.Start();
    QTEST(QString::fromStdString(s.state().AppPath), "appPath");
}

void TestStartup::lampsRedAfterTheirFirstPeriod() {
    CoreFixture f;
    f.Start();
    QVERIFY(f.led.Enabled() && f.led2.Enabled());
    f.view.lamps[Lamp::Serial] = kColourGreen;  // whatever they show, the first tick turns them red
    f.view.lamps[Lamp::Network] = kColourGreen;
    f.sched.Advance(1023);
    QCOMPARE(f.led2.ticks, 1);
    QCOMPARE(f.led.ticks, 0);
    f.sched.Advance(1);
    QCOMPARE(f.led.ticks, 1);
    QVERIFY(!f.led.Enabled() && !f.led2.Enabled());
    QCOMPARE(f.view.lamps[Lamp::Serial], kColourRed);
    QCOMPARE(f.view.lamps[Lamp::Network], kColourRed);
    f.sched.Advance(10000);
    QCOMPARE(f.led.ticks + f.led2.ticks, 2);
}

void TestStartup::shutdownRecordsConnectedClients() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    f.sockets.Connect("10.0.0.2");
    f.sockets.Connect("10.0.0.3");
    f.sockets.Hangup(2);
    f.view.rows.clear();
    size_t rowsAtWrite = 0;
    f.files.onWrite = [&] { rowsAtWrite = f.view.rows.size(); };
    f.server->Stop();
    QCOMPARE(rowsAtWrite, size_t(2));  // the records come before the settings file
    QCOMPARE(f.view.rows.size(), size_t(2));
    QCOMPARE(f.view.rows[0].address, std::string("10.0.0.1"));
    QCOMPARE(f.view.rows[1].address, std::string("10.0.0.3"));
    QCOMPARE(f.view.rows[1].description, std::string("Client Disconnect"));
    QVERIFY(!f.serial.open);
    QVERIFY(!f.sockets.listening);
    QVERIFY(!f.sockets.Connected(1) && !f.sockets.Connected(3));
    QVERIFY(f.files.Exists(CoreFixture::kIni));
    QVERIFY(f.view.closed);

    // Running it again finds nothing to close and only writes the file again.
    f.view.rows.clear();
    f.server->ShutDown();
    QVERIFY(f.view.rows.empty());
}

QTEST_APPLESS_MAIN(TestStartup)
#include "tst_startup.moc"
