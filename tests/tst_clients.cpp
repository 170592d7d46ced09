// Client connections, intake, login and the send routines, driven tick by tick on fakes.
#include <QtTest>
#include <algorithm>

#include "fakes.h"

using namespace qv;
using namespace qv::test;

namespace {
const std::string kPrompt = "Enter Password>";
const std::string kOk = "Login Sucessful\r\n";
const std::string kInvalid = "Invalid password, Please try again>";
}  // namespace

class TestClients : public QObject {
    Q_OBJECT
  private slots:
    void login_data();
    void login();
    void notLoggedInGetsNoSwitcherOutput();
    void idleFlushAfterMoreThan200QuietTicks();
    void decodeTimerStopsOneTickAfterLastText();
    void slotsAreReusedLowestFirst();
    void disconnectAllClients();
    void reusedSlotStartsClean();
    void sendRoutines();
    void clientThatStopsReadingIsPutOff();
    void slotLimitRefusesAndServesTheRest();
    void failedTakeOverLeavesSlotFree();
    void burstIsWorkedOffAtOnceInOrder();
    void unitsReachTheLineBeforeTheyAreRecorded();
    void passThroughForwardsUnrecorded();
    void serialSendErrorStillRecordsAndRemoves();
    void megabyteOfGarbageIsDropped();
    void clientWhoseInputEndedIsClosedAfterTheLinger_data();
    void clientWhoseInputEndedIsClosedAfterTheLinger();
    void lingerRestartsWithOutput();
    void lingeringClientsRecordedOnceAtShutDown();
    void unitsWaitWholeForRoomOnTheLine_data();
    void unitsWaitWholeForRoomOnTheLine();
    void slotsCostWhatIsConnected();
};

namespace {
long long CountRows(const FakeView& v, const std::string& description) {
    return std::count_if(v.rows.begin(), v.rows.end(),
                         [&](const HistoryRow& r) { return r.description == description; });
}
}  // namespace

void TestClients::login_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("sends");
    QTest::addColumn<QByteArray>("toClient");
    QTest::addColumn<QByteArray>("toSwitcher");
    QTest::addColumn<bool>("loggedIn");

    const QByteArray prompt = QByteArray::fromStdString(kPrompt);
    const QByteArray ok = QByteArray::fromStdString(kOk);
    const QByteArray bad = QByteArray::fromStdString(kInvalid);
    QTest::newRow("no password") << "" << QStringList{} << ok << QByteArray() << true;
    QTest::newRow("password set") << "abc" << QStringList{} << prompt << QByteArray() << false;
    QTest::newRow("correct") << "abc" << QStringList{"abc"} << prompt + ok << QByteArray() << true;
    QTest::newRow("too short waits")
        << "abc" << QStringList{"ab"} << prompt << QByteArray() << false;
    QTest::newRow("split over two sends")
        << "abc" << QStringList{"a", "bc"} << prompt + ok << QByteArray() << true;
    QTest::newRow("wrong case") << "abc" << QStringList{"ABC"} << prompt + bad << QByteArray()
                                << false;
    QTest::newRow("wrong, then retry at once")
        << "abc" << QStringList{"abd", "abc"} << prompt + bad + ok << QByteArray() << true;
    QTest::newRow("wrong with more text: all discarded")
        << "abc" << QStringList{"xyzabc"} << prompt + bad << QByteArray() << false;
    QTest::newRow("stray line end first")
        << "abc" << QStringList{"\r\nabc"} << prompt + bad << QByteArray() << false;
    QTest::newRow("password CR LF: CR forwarded, LF dropped")
        << "abc" << QStringList{"abc\r\n"} << prompt + ok << QByteArray("\r") << true;
}

void TestClients::login() {
    QFETCH(QString, password);
    QFETCH(QStringList, sends);
    CoreFixture f;
    f.Start();
    f.settings().Password = password.toStdString();
    f.sockets.Connect("10.0.0.1");
    for (const QString& s : sends) f.sockets.Send(1, s.toStdString());
    QTEST(QByteArray::fromStdString(f.sockets.elements[1].out), "toClient");
    QTEST(QByteArray::fromStdString(f.serial.written), "toSwitcher");
    QTEST(bool(f.slot(1).LoggedIn), "loggedIn");
    // Logins are not recorded; a lone CR describes as nothing.
    QCOMPARE(f.view.rows.size(), size_t(1));
    QCOMPARE(f.view.rows[0].description, std::string("Client Connection Request"));
}

void TestClients::notLoggedInGetsNoSwitcherOutput() {
    CoreFixture f;
    f.Start();
    f.settings().Password = "pw";
    f.sockets.Connect("10.0.0.1");
    f.sockets.Connect("10.0.0.2");
    f.sockets.Send(2, "pw");
    f.sockets.TakeOut(1);
    f.sockets.TakeOut(2);
    f.serial.Feed("OK\r\n");
    QCOMPARE(f.sockets.TakeOut(1), std::string());
    QCOMPARE(f.sockets.TakeOut(2), std::string("OK\r\n"));
}

void TestClients::idleFlushAfterMoreThan200QuietTicks() {
    CoreFixture f;
    f.Start();
    f.settings().Password = "abc";
    f.sockets.Connect("10.0.0.1");  // types part of the password
    f.sockets.Connect("10.0.0.2");  // logs in, leaves half a unit
    f.sockets.Connect("10.0.0.3");  // types nothing
    f.sockets.Send(2, "abc");
    f.sockets.Send(1, "ab");
    f.sockets.Send(2, "\x14XY");
    for (Integer i = 1; i <= 3; ++i) f.sockets.TakeOut(i);
    QVERIFY(f.decodeTcp.Enabled());

    f.sched.Advance(200 * kDecodeTcpIntervalMs);
    QCOMPARE(f.decodeTcp.ticks, 200);
    QCOMPARE(f.state().IdleTicks, Integer(200));
    QCOMPARE(f.sockets.TakeOut(1), std::string());
    QCOMPARE(f.slot(1).ClientBuffer.view(), std::string_view("ab"));

    f.sched.Advance(kDecodeTcpIntervalMs);  // tick 201
    QCOMPARE(f.sockets.TakeOut(1), kInvalid);
    QCOMPARE(f.sockets.TakeOut(2), std::string());  // logged in: emptied silently
    QCOMPARE(f.sockets.TakeOut(3), kInvalid);       // prompted too, though it typed nothing
    QVERIFY(f.slot(1).ClientBuffer.empty() && f.slot(2).ClientBuffer.empty());
    QCOMPARE(f.state().IdleTicks, Integer(0));
    QVERIFY(f.serial.written.empty());
    // The walk of that tick still found text, so one more tick runs, then the timer stops.
    f.sched.Advance(kDecodeTcpIntervalMs);
    QVERIFY(!f.decodeTcp.Enabled());
}

void TestClients::decodeTimerStopsOneTickAfterLastText() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    f.sockets.Send(1,
                   "\x14"
                   "123");
    QVERIFY(f.decodeTcp.Enabled());
    f.sched.Advance(3 * kDecodeTcpIntervalMs);
    f.sockets.Send(1, "456");  // completes the unit at arrival
    QCOMPARE(f.serial.written, std::string("\x14"
                                           "123456"));
    f.sched.Advance(kDecodeTcpIntervalMs);
    QVERIFY(!f.decodeTcp.Enabled());
    const int ticks = f.decodeTcp.ticks;
    f.sched.Advance(1000);
    QCOMPARE(f.decodeTcp.ticks, ticks);
}

void TestClients::slotsAreReusedLowestFirst() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    f.sockets.Connect("10.0.0.2");
    f.sockets.Hangup(1);
    QCOMPARE(f.view.rows.back().description, std::string("Client Disconnect"));
    QCOMPARE(f.view.rows.back().address, std::string("10.0.0.1"));
    f.sockets.Connect("10.0.0.3");
    QCOMPARE(f.sockets.PeerAddress(1), std::string("10.0.0.3"));
    QCOMPARE(f.server->ClientSlotCount(), Integer(2));
    QCOMPARE(f.view.panels[1], std::string("Client Connections: 0002"));
    f.sockets.Connect("10.0.0.4");
    QCOMPARE(f.view.panels[1], std::string("Client Connections: 0003"));
    QCOMPARE(f.server->ClientSlotCount(), Integer(3));
}

void TestClients::disconnectAllClients() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    f.sockets.Connect("10.0.0.2");
    f.sockets.Hangup(2);
    f.view.rows.clear();
    f.server->DisconnectAllClients();
    QVERIFY(f.sockets.elements.empty());
    QCOMPARE(f.view.rows.size(), size_t(1));
    QCOMPARE(f.view.rows[0].address, std::string("10.0.0.1"));
    QCOMPARE(f.view.rows[0].description, std::string("Client Disconnect"));
    QCOMPARE(f.server->ClientSlotCount(), Integer(0));
    QCOMPARE(f.state().ConnectionCount, Integer(0));
    QCOMPARE(f.view.panels[1], std::string("Client Connections: 0000"));
    QVERIFY(f.sockets.listening);
    f.sockets.Connect("10.0.0.5");
    QCOMPARE(f.server->ClientSlotCount(), Integer(1));
    QCOMPARE(f.sockets.PeerAddress(1), std::string("10.0.0.5"));
}

void TestClients::reusedSlotStartsClean() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    f.sockets.Send(1,
                   "\x14"
                   "12");  // half a unit, then gone
    f.sockets.Hangup(1);
    f.sockets.Connect("10.0.0.2");
    QVERIFY(f.slot(1).ClientBuffer.empty());
    f.sockets.Send(1,
                   "\x14"
                   "ABCDEF");
    QCOMPARE(f.serial.written, std::string("\x14"
                                           "ABCDEF"));
}

void TestClients::sendRoutines() {
    CoreFixture f;
    f.Start();
    f.server->SendtoIP("nobody");  // no client: lamp and idle counter still
    QCOMPARE(f.view.lamps[Lamp::Network], kColourGreen);
    QCOMPARE(f.state().IdleTicks, Integer(0));

    f.settings().Password = "pw";
    f.sockets.Connect("10.0.0.1");
    f.sockets.Connect("10.0.0.2");
    f.sockets.Connect("10.0.0.3");
    f.sockets.Send(1, "pw");
    f.sockets.Send(2, "pw");
    for (Integer i = 1; i <= 3; ++i) f.sockets.TakeOut(i);
    f.server->SendtoIP("all");
    QCOMPARE(f.sockets.TakeOut(1), std::string("all"));
    QCOMPARE(f.sockets.TakeOut(2), std::string("all"));
    QCOMPARE(f.sockets.TakeOut(3), std::string());
    f.server->SendtoSingleIP("one", 3);
    QCOMPARE(f.sockets.TakeOut(3), std::string("one"));
    f.sockets.Hangup(3);
    f.server->SendtoSingleIP("gone", 3);
    f.server->SendtoSingleIP("no such slot", 99);
    QCOMPARE(f.sockets.TakeOut(3), std::string());
}

void TestClients::clientThatStopsReadingIsPutOff() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    f.sockets.Connect("10.0.0.2");
    f.sockets.elements[1].overflow = true;
    f.view.rows.clear();
    f.serial.Feed("status\r\n");
    QVERIFY(!f.sockets.Connected(1));
    QCOMPARE(f.state().ConnectionCount, Integer(1));
    QCOMPARE(f.view.rows[0].address, std::string("10.0.0.1"));
    QCOMPARE(f.view.rows[0].description, std::string("Client Disconnect"));
    QVERIFY(f.sockets.TakeOut(2).find("status\r\n") != std::string::npos);
    f.serial.Feed("more\r\n");
    QVERIFY(f.sockets.TakeOut(2).find("more\r\n") != std::string::npos);
}

void TestClients::slotLimitRefusesAndServesTheRest() {
    CoreFixture f;
    f.Start();
    // Every slot number taken (set up directly: one walk per connection makes 32,767 real
    // connects quadratic).
    for (int i = 1; i <= kMaxClientSlots; ++i) {
        auto& e = f.sockets.elements[Integer(i)];
        e.connected = true;
        e.peer = "10.1.0.1";
    }
    for (int i = 1; i <= kMaxClientSlots; ++i) {
        f.state().Clients.Grow();
        f.slot(Integer(i)).LoggedIn = true;
    }
    f.state().ConnectionCount = kMaxClientSlots;

    const Long refused = f.sockets.Connect("10.9.9.9");
    QCOMPARE(f.sockets.refused, std::vector<Long>{refused});
    QCOMPARE(f.server->ClientSlotCount(), kMaxClientSlots);
    QCOMPARE(f.state().ConnectionCount, kMaxClientSlots);
    f.sockets.Hangup(kMaxClientSlots);
    f.sockets.Connect("10.2.0.2");
    QCOMPARE(f.sockets.PeerAddress(kMaxClientSlots), std::string("10.2.0.2"));
    f.sockets.Send(kMaxClientSlots, "\r");
    QCOMPARE(f.serial.written, std::string("\r"));
    f.server->SendtoIP("to all");
    QCOMPARE(f.sockets.TakeOut(1), std::string("to all"));
    QCOMPARE(f.sockets.TakeOut(kMaxClientSlots), std::string("Login Sucessful\r\nto all"));
    f.server->DisconnectAllClients();
    QVERIFY(f.sockets.elements.empty());
}

void TestClients::failedTakeOverLeavesSlotFree() {
    CoreFixture f;
    f.Start();
    f.sockets.failAccept = true;
    f.sockets.Connect("10.0.0.1");
    QCOMPARE(f.state().ConnectionCount, Integer(0));
    QVERIFY(!f.sockets.Connected(1));
    f.sockets.failAccept = false;
    f.sockets.Connect("10.0.0.2");
    QCOMPARE(f.server->ClientSlotCount(), Integer(1));
    QCOMPARE(f.state().ConnectionCount, Integer(1));
}

void TestClients::burstIsWorkedOffAtOnceInOrder() {
    CoreFixture f;
    f.Start();
    f.settings().MaxListSize = 1000;
    f.sockets.Connect("10.0.0.1");
    std::string burst, expected;
    for (int i = 0; i < 100; ++i) {
        char unit[8];
        std::snprintf(unit, sizeof unit, "\x14%06d", i);
        burst += unit;
    }
    expected = burst;
    burst +=
        "\x14"
        "12";  // and half a unit
    f.sockets.Send(1, burst);
    QCOMPARE(f.serial.written, expected);
    QCOMPARE(f.view.rows.size(), size_t(101));
    QCOMPARE(f.view.rows[1].description, std::string("^T000000"));
    QCOMPARE(f.view.rows[100].description, std::string("^T000099"));
    QCOMPARE(f.slot(1).ClientBuffer.view(), std::string_view("\x14"
                                                             "12"));
}

void TestClients::unitsReachTheLineBeforeTheyAreRecorded() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    RecordProbe probe;
    probe.at = [&] { return f.serial.sent; };
    f.server->recorder().AddSink(probe);
    const std::string both =
        "\x14"
        "003011"
        "\x14"
        "004012";
    f.sockets.Send(1, both);
    QCOMPARE(probe.seen, (RecordProbe::Seen{{"^T003011", both}, {"^T004012", both}}));
    QCOMPARE(probe.ends, 1);  // one run: one flush of the sinks' writes
    f.server->recorder().RemoveSink(probe);
}

void TestClients::passThroughForwardsUnrecorded() {
    CoreFixture f;
    f.Start();
    f.settings().PassThruMode = true;
    f.sockets.Connect("10.0.0.1");
    f.sockets.Send(1, "plain text\x14\r\n");
    QCOMPARE(f.serial.written, std::string("plain text\x14\r\n"));
    QCOMPARE(f.view.rows.size(), size_t(1));  // the connection only
}

void TestClients::serialSendErrorStillRecordsAndRemoves() {
    CoreFixture f;
    f.serial.failingPorts = {1};
    f.Start();
    f.view.reports.clear();
    f.sockets.Connect("10.0.0.1");
    f.sockets.Send(1,
                   "\x14"
                   "ABCDEF"
                   "\x13"
                   "1234");
    QCOMPARE(f.view.reports.size(), size_t(1));  // one per outage, not one per unit
    QCOMPARE(f.view.reports[0].first, std::string("Serial Send Error"));
    QCOMPARE(f.view.reports[0].second,
             std::string(
                 "Error Sending Message to serial port\r\rError #  8012 - The device is not open"));
    QVERIFY(f.slot(1).ClientBuffer.empty());
    QCOMPARE(f.view.rows.back().description, std::string("^S1234"));
}

void TestClients::megabyteOfGarbageIsDropped() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    std::string garbage(1 << 20, 'g');
    f.sockets.Send(1, garbage);
    QVERIFY(f.slot(1).ClientBuffer.empty());
    QVERIFY(f.serial.written.empty());
    QCOMPARE(f.view.rows.size(), size_t(1));
    f.sockets.Send(1, "\r");  // and the client still works
    QCOMPARE(f.serial.written, std::string("\r"));
}

QTEST_APPLESS_MAIN(TestClients)
#include "tst_clients.moc"

void TestClients::clientWhoseInputEndedIsClosedAfterTheLinger_data() {
    QTest::addColumn<std::string>("password");
    QTest::newRow("logged in") << std::string();
    QTest::newRow("asked for the password") << std::string("pw");
}

void TestClients::clientWhoseInputEndedIsClosedAfterTheLinger() {
    QFETCH(std::string, password);
    CoreFixture f;
    f.Start();
    f.settings().Password = password;
    f.sockets.Connect("10.0.0.1");
    f.sockets.Connect("10.0.0.2");
    f.sched.Advance(5000);
    f.sockets.EndInput(1);  // closed, or only half-closed: TCP cannot tell them apart
    f.sched.Advance(kInputEndedLingerMs - 1);
    QVERIFY(f.sockets.Connected(1));
    QCOMPARE(CountRows(f.view, "Client Disconnect"), 0);
    f.sched.Advance(kLingerCheckMs);
    QVERIFY(!f.sockets.Connected(1));
    QCOMPARE(CountRows(f.view, "Client Disconnect"), 1);
    QCOMPARE(f.view.rows.back().address, std::string("10.0.0.1"));
    QCOMPARE(f.state().ConnectionCount, Integer(1));
    QCOMPARE(f.view.panels[1], std::string("Client Connections: 0001"));
    QVERIFY(!f.linger.Enabled());  // nobody lingers
    // Its slot is free for the next client, which starts without the linger.
    f.sockets.Connect("10.0.0.3");
    QCOMPARE(f.sockets.PeerAddress(1), std::string("10.0.0.3"));
    f.sched.Advance(10 * kInputEndedLingerMs);
    QVERIFY(f.sockets.Connected(1));
    QVERIFY(f.sockets.Connected(2));
    QCOMPARE(CountRows(f.view, "Client Disconnect"), 1);
}

void TestClients::lingerRestartsWithOutput() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    f.sockets.Send(1, "\r");  // the ready screen, asked for, then the sending side ends
    f.sockets.EndInput(1);
    // Answers that keep coming (a long help menu) keep it served.
    for (int i = 0; i < 5; ++i) {
        f.sched.Advance(kInputEndedLingerMs - kLingerCheckMs);
        f.server->SendtoIP("more of the answer");
    }
    QVERIFY(f.sockets.Connected(1));
    QCOMPARE(f.sockets.elements[1].writes.back(), std::string("more of the answer"));
    f.sched.Advance(kInputEndedLingerMs + kLingerCheckMs);
    QVERIFY(!f.sockets.Connected(1));
    QCOMPARE(CountRows(f.view, "Client Disconnect"), 1);
    QCOMPARE(f.state().ConnectionCount, Integer(0));
}

void TestClients::lingeringClientsRecordedOnceAtShutDown() {
    CoreFixture f;
    f.Start();
    for (int i = 1; i <= 3; ++i) f.sockets.Connect("10.0.0." + std::to_string(i));
    f.sockets.EndInput(1);
    f.sockets.EndInput(2);
    f.sched.Advance(kInputEndedLingerMs + kLingerCheckMs);  // 1 and 2 are closed
    f.sockets.Connect("10.0.0.4");                          // takes slot 1
    f.sockets.EndInput(1);                                  // and lingers at shut-down
    f.server->Stop();
    QCOMPARE(CountRows(f.view, "Client Disconnect"), 4);
    for (const char* a : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"})
        QCOMPARE(std::count_if(f.view.rows.begin(), f.view.rows.end(),
                               [&](const HistoryRow& r) {
                                   return r.address == a && r.description == "Client Disconnect";
                               }),
                 1);
    QVERIFY(!f.linger.Enabled());
    f.sched.Advance(10 * kInputEndedLingerMs);
    QCOMPARE(CountRows(f.view, "Client Disconnect"), 4);
}

void TestClients::unitsWaitWholeForRoomOnTheLine_data() {
    QTest::addColumn<bool>("passThru");
    QTest::newRow("units") << false;
    QTest::newRow("pass-through") << true;
}

void TestClients::unitsWaitWholeForRoomOnTheLine() {
    QFETCH(bool, passThru);
    CoreFixture f;
    f.Start();
    f.settings().PassThruMode = passThru;
    f.serial.open = true;
    f.serial.room = 10;  // the switcher has stopped reading: room for one take
    for (int i = 1; i <= 3; ++i) f.sockets.Connect("10.0.0." + std::to_string(i));
    const std::string take[] = {
        "\x14"
        "001001",
        "\x14"
        "002002",
        "\x14"
        "003003"};
    f.sockets.Send(1, take[0] + take[1]);
    f.sockets.Send(2, take[2]);
    const std::size_t flood = 7 * (kHeldTextMaxLoggedIn / 7 + 100);  // whole takes, over the bound
    f.sockets.Send(3, std::string(flood, '\x14'));
    // What fits goes whole; the rest waits in order, and well past the idle flush it is
    // still there; the flood of the third client is held at its bound, not read further.
    f.sched.Advance(5000);
    // (In pass-through a client's whole buffer is its unit: the first client's two takes.)
    QCOMPARE(f.serial.written, passThru ? take[2] : take[0]);
    QVERIFY(f.view.reports.empty());
    QVERIFY(!f.sockets.elements[3].reading);
    QVERIFY(f.slot(3).ClientBuffer.size() <= kHeldTextMaxLoggedIn);
    // The line drains: every unit arrives whole and in its client's order, nothing lost.
    f.serial.room = static_cast<std::size_t>(-1);
    f.sched.Advance(kDecodeTcpIntervalMs);
    f.sockets.Send(3, "");
    const std::string& w = f.serial.written;
    QCOMPARE(w.substr(0, 21), passThru ? take[2] + take[0] + take[1] : take[0] + take[1] + take[2]);
    QCOMPARE(w.size(), 21 + flood);
    QVERIFY(w.find_first_not_of('\x14', 21) == std::string::npos);
    QVERIFY(f.view.reports.empty());
}

void TestClients::slotsCostWhatIsConnected() {
    CoreFixture f;
    f.Start();
    // Every slot number taken, then all but the first leave.
    for (int i = 1; i <= kMaxClientSlots; ++i) f.sockets.Connect("10.0.0.1");
    QCOMPARE(f.server->ClientSlotCount(), kMaxClientSlots);
    f.sockets.Send(1, "\r");  // a run's end looks for free slots at the table's end
    f.sockets.Connect("10.0.0.2");
    QCOMPARE(f.sockets.refused.size(), std::size_t(1));  // no slot number is left
    for (Integer i = kMaxClientSlots; i >= 2; --i) f.sockets.Hangup(i);
    QCOMPARE(f.server->ClientSlotCount(), Integer(1));
    QCOMPARE(f.state().ConnectionCount, Integer(1));
    f.sockets.TakeOut(1);
    f.server->SendtoIP("after the burst");
    QCOMPARE(f.sockets.TakeOut(1), std::string("after the burst"));
    // Slots are numbered as before: the next client takes slot 2.
    f.sockets.Connect("10.0.0.3");
    QCOMPARE(f.sockets.PeerAddress(2), std::string("10.0.0.3"));
    f.server->DisconnectAllClients();
    QVERIFY(f.sockets.elements.empty());
}
