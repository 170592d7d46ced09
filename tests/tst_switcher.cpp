// Framing of the switcher's output, tick-exact on a fake clock: what each step relays to a
// logged-in client (one entry per write) and what it records.
#include <QtTest>

#include "fakes.h"

using namespace qv;
using namespace qv::test;

namespace {

const std::string kReady = "\x1b[2J\x1b[HQMT READY>";
const std::string kHelpHead = "\x1b[2J\x1b[H  HELP MENU\r\n";  // opens with an escape sequence

struct Step {
    enum Kind { Feed, Ticks, Ms } kind;
    std::string text;                   // Feed
    int n = 0;                          // Ticks of tmrCmndChk, or milliseconds
    std::vector<std::string> relayed;   // new writes to the client after this step
    std::vector<std::string> recorded;  // new history descriptions after this step
};
using Script = std::vector<Step>;

Step Feed(std::string t, std::vector<std::string> relayed = {}, std::vector<std::string> rec = {}) {
    return {Step::Feed, std::move(t), 0, std::move(relayed), std::move(rec)};
}
Step Ticks(int n, std::vector<std::string> relayed = {}, std::vector<std::string> rec = {}) {
    return {Step::Ticks, {}, n, std::move(relayed), std::move(rec)};
}
Step Ms(int n, std::vector<std::string> relayed = {}, std::vector<std::string> rec = {}) {
    return {Step::Ms, {}, n, std::move(relayed), std::move(rec)};
}

}  // namespace

Q_DECLARE_METATYPE(Script)

class TestSwitcher : public QObject {
    Q_OBJECT
  private slots:
    void framing_data();
    void framing();
    void passThroughRelaysEverythingUnrecorded();
    void helpMenuWindowIsNotLengthened();
    void receiveEventCodesAndLamp();
    void aRunLeavesBeforeItIsRecorded();
    void neverCompletingTextIsBounded();
    void lostPortIsReportedAndClientsStayServed();
};

void TestSwitcher::framing_data() {
    QTest::addColumn<Script>("script");
    const std::string frameA =
        "\x18\x01"
        "ABCDEFGH";
    const std::string frameB =
        "\x18\x02"
        "IJKLMNOP";

    QTest::newRow("CAN frame arriving 6 + 4")
        << Script{Feed("\x18\x01"
                       "ABCD"),
                  Ticks(3), Feed("EFGH", {frameA}, {"^X1ABCDEFGH"}), Ticks(50)};
    QTest::newRow("two frames back to back")
        << Script{Feed(frameA + frameB, {frameA, frameB}, {"^X1ABCDEFGH", "^X2IJKLMNOP"})};
    QTest::newRow("noise then a CAN frame: after 11 quiet ticks, noise discarded")
        << Script{Feed("xy" + frameA), Ticks(10), Ticks(1, {frameA}, {"^X1ABCDEFGH"})};
    QTest::newRow("EM only at the front") << Script{Feed("\x19"
                                                         "ABCDEFGHI",
                                                         {"\x19"
                                                          "ABCDEFGHI"},
                                                         {"^Y65BCDEFGHI"}),
                                                    Feed("ab\x19"
                                                         "cd\r\n",
                                                         {"ab\x19"
                                                          "cd\r\n"},
                                                         {"ab^Y25cd"})};
    QTest::newRow("BEL at the front")
        << Script{Feed("\x07"
                       "OK1",
                       {"\x07"
                        "OK1"},
                       {"^GOK1"})};
    QTest::newRow("BEL further in: first four characters after 11 quiet ticks")
        << Script{Feed("ab\x07"
                       "cd\x07"
                       "ef"),
                  Ticks(10),
                  Ticks(1,
                        {"ab\x07"
                         "c"},
                        {"ab^Gc"}),
                  Ticks(10),
                  Ticks(1,
                        {"d\x07"
                         "ef"},
                        {"d^Gef"})};
    QTest::newRow("ready screen") << Script{Feed(kReady, {kReady}, {"QMT READY>"})};
    QTest::newRow("ready screen in pieces") << Script{
        Feed(kReady.substr(0, 9)), Ticks(20), Feed(kReady.substr(9), {kReady}, {"QMT READY>"})};
    QTest::newRow("ESC at the front holds everything until the clean-up") << Script{
        Feed("\x1b[2JOK\r\nline\r\n"), Ticks(500), Ticks(1), Feed("OK\r\n", {"OK\r\n"}, {"OK"})};
    QTest::newRow("CAN at the front holds a line") << Script{Feed("\x18\x01"
                                                                  "AB\r\n"),
                                                             Ticks(30),
                                                             Feed("CDEF",
                                                                  {"\x18\x01"
                                                                   "AB\r\nCDEF"},
                                                                  {"^X1ABCDEF"})};
    QTest::newRow("line then ready screen")
        << Script{Feed("hello\r\n" + kReady, {"hello\r\n", kReady}, {"hello", "QMT READY>"})};
    QTest::newRow("text then ready screen after the quiet period") << Script{
        Feed("abc" + kReady), Ticks(10), Ticks(1, {"abc", kReady}, {"abc", "QMT READY>"})};
    QTest::newRow("OK then a line")
        << Script{Feed("OK\r\nline two\r\n", {"OK\r\n", "line two\r\n"}, {"OK", "line two"})};
    QTest::newRow("help menu ended by Fx31)")
        << Script{Feed(kHelpHead + "Fx1) Take\r\nFx31) Exit\r\nafter\r\n",
                       {kHelpHead, "Fx1) Take\r\n", "Fx31) Exit\r\n", "after\r\n"},
                       {"Sending Help Menu", "after"})};
    QTest::newRow("help menu ended by the help timer") << Script{
        Feed(kHelpHead + "Fx1) Take\r\n", {kHelpHead, "Fx1) Take\r\n"}, {"Sending Help Menu"}),
        Ms(4900), Feed("during\r\n", {"during\r\n"}), Ms(100),
        Feed("later\r\n", {"later\r\n"}, {"later"})};
    QTest::newRow("control characters of the help menu pass with its lines")
        << Script{Feed(kHelpHead, {kHelpHead}, {"Sending Help Menu"}),
                  Feed("\x07"
                       "a\x18"
                       "b\r\n",
                       {"\x07"
                        "a\x18"
                        "b\r\n"}),
                  Feed("Fx31)\r\n", {"Fx31)\r\n"}),
                  Feed("\x07"
                       "OK1",
                       {"\x07"
                        "OK1"},
                       {"^GOK1"})};
    {
        // A quiet backlog of noise is worked off in one tick, frames and all.
        std::string noise, frames;
        std::vector<std::string> pieces, records;
        for (int i = 0; i < 40; ++i) {
            noise += std::string(30, 'n') + "\x18" + char('A' + i % 26) + "12345678";
            pieces.push_back(std::string("\x18") + char('A' + i % 26) + "12345678");
            records.push_back("^X" + std::to_string('A' + i % 26) + "12345678");
        }
        QTest::newRow("backlog of noise-led frames in one quiet tick")
            << Script{Feed(noise), Ticks(10), Ticks(1, pieces, records)};
    }
    QTest::newRow("line without CR LF discarded after more than 500 quiet ticks")
        << Script{Feed("partial"), Ticks(500), Ticks(1), Feed("\r\n", {"\r\n"})};
}

void TestSwitcher::framing() {
    QFETCH(Script, script);
    CoreFixture f;
    f.Start();
    f.settings().MaxListSize = 1000;
    f.sockets.Connect("10.0.0.1");
    f.sockets.elements[1].writes.clear();
    f.view.rows.clear();
    std::size_t seenWrites = 0, seenRows = 0;
    int stepNo = 0;
    for (const Step& s : script) {
        ++stepNo;
        switch (s.kind) {
            case Step::Feed:
                f.serial.Feed(s.text);
                break;
            case Step::Ticks:
                for (int i = 0; i < s.n; ++i) f.sched.Advance(kCmndChkIntervalMs);
                break;
            case Step::Ms:
                f.sched.Advance(s.n);
                break;
        }
        const auto& writes = f.sockets.elements[1].writes;
        const std::vector<std::string> relayed(writes.begin() + seenWrites, writes.end());
        std::vector<std::string> recorded;
        for (std::size_t i = seenRows; i < f.view.rows.size(); ++i) {
            QCOMPARE(f.view.rows[i].address, std::string("Switcher COM1"));
            recorded.push_back(f.view.rows[i].description);
        }
        seenWrites = writes.size();
        seenRows = f.view.rows.size();
        if (relayed != s.relayed || recorded != s.recorded) {
            QString msg = QString("step %1: relayed %2 recorded %3")
                              .arg(stepNo)
                              .arg(relayed.size())
                              .arg(recorded.size());
            for (const auto& r : relayed)
                msg += "\n  relayed: " +
                       QString::fromLatin1(QByteArray::fromStdString(r).toPercentEncoding());
            for (const auto& r : recorded) msg += "\n  recorded: " + QString::fromStdString(r);
            QFAIL(qPrintable(msg));
        }
    }
}

void TestSwitcher::passThroughRelaysEverythingUnrecorded() {
    CoreFixture f;
    f.Start();
    f.settings().PassThruMode = true;
    f.sockets.Connect("10.0.0.1");
    f.sockets.TakeOut(1);
    f.view.rows.clear();
    f.serial.Feed(
        "\x18"
        "ab\x1b"
        "cd");
    QCOMPARE(f.sockets.TakeOut(1), std::string("\x18"
                                               "ab\x1b"
                                               "cd"));
    QVERIFY(f.view.rows.empty());
    QCOMPARE(f.view.lamps[Lamp::Serial], kColourGreen);
    f.sched.Advance(kCmndChkIntervalMs);  // finds the buffer empty
    QVERIFY(!f.cmndChk.Enabled());
    QCOMPARE(f.view.lamps[Lamp::Serial], kColourRed);
}

void TestSwitcher::helpMenuWindowIsNotLengthened() {
    CoreFixture f;
    f.Start();
    f.serial.Feed(kHelpHead);  // help-menu mode at t = 0
    QCOMPARE(f.line().HelpMenuActive, Integer(-1));
    QVERIFY(f.help.Enabled());
    f.sched.Advance(3000);
    // A second start within the window: an escape sequence that counts after 11 quiet ticks.
    f.serial.Feed("\x1b[2J\x1b[H  MORE HELP");
    f.sched.Advance(11 * kCmndChkIntervalMs);
    QCOMPARE(f.view.rows.back().description, std::string("Sending Help Menu"));
    f.serial.Feed("\r\n");  // its line ends
    QVERIFY(f.line().SerialBuffer.empty());
    f.sched.Advance(5000 - 3000 - 11 * kCmndChkIntervalMs - 1);
    QCOMPARE(f.line().HelpMenuActive, Integer(-1));
    f.sched.Advance(1);
    QCOMPARE(f.line().HelpMenuActive, Integer(0));
    QVERIFY(!f.help.Enabled());
}

void TestSwitcher::receiveEventCodesAndLamp() {
    CoreFixture f;
    f.Start();
    f.sched.Advance(2000);  // the design-time lamp timers have fired
    f.serial.in = "OK\r\n";
    f.server->OnComm(1008);  // any other code changes nothing
    QCOMPARE(f.view.lamps[Lamp::Serial], kColourRed);
    QVERIFY(!f.led2.Enabled() && !f.cmndChk.Enabled());
    QVERIFY(f.line().SerialBuffer.empty());

    f.state().IdleTicks = 99;
    f.server->OnComm(kCommEventReceive);
    QCOMPARE(f.view.lamps[Lamp::Serial], kColourGreen);
    QVERIFY(f.led2.Enabled());
    QCOMPARE(f.state().IdleTicks, Integer(0));
    f.sched.Advance(kLed2IntervalMs);
    QCOMPARE(f.view.lamps[Lamp::Serial], kColourRed);

    // A receive event that finds nothing still wakes the timer.
    f.server->OnComm(kCommEventReceive);
    QVERIFY(f.cmndChk.Enabled());

    // Sending to the switcher: one write per character, in order, nothing added.
    const int before = f.serial.writes;
    f.server->TcptoSerial(
        "\x14"
        "001002");
    QCOMPARE(f.serial.writes - before, 7);
    QVERIFY(f.serial.written.size() >= 7);
    QCOMPARE(f.serial.written.substr(f.serial.written.size() - 7), std::string("\x14"
                                                                               "001002"));
    f.server->TcptoSerial("");
    QCOMPARE(f.serial.writes - before, 7);
}

void TestSwitcher::aRunLeavesBeforeItIsRecorded() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    // Sees, at each record, how many runs of output had been sent.
    struct Sink final : IRecordSink {
        explicit Sink(const FakeSockets& s) : sockets(s) {}
        void Recorded(const ActivityRecord& r) override {
            seen.emplace_back(r.description, sockets.heldSends);
        }
        void RecordsEnded() override { ++ends; }
        const FakeSockets& sockets;
        std::vector<std::pair<std::string, int>> seen;
        int ends = 0;
    } sink(f.sockets);
    f.server->recorder().AddSink(sink);
    f.sockets.elements[1].writes.clear();  // the greeting
    const int sends = f.sockets.heldSends;
    f.serial.Feed(
        "\x18\x01"
        "ABCDEFGH"
        "\x18\x02"
        "IJKLMNOP"
        "\x18\x03"
        "QRSTUVWX");
    using Seen = std::vector<std::pair<std::string, int>>;
    QCOMPARE(
        sink.seen,
        (Seen{{"^X1ABCDEFGH", sends + 1}, {"^X2IJKLMNOP", sends + 1}, {"^X3QRSTUVWX", sends + 1}}));
    QCOMPARE(sink.ends, 1);  // one run, one flush of the sinks' writes
    QCOMPARE(f.sockets.elements[1].writes.size(), std::size_t(3));
    QCOMPARE(f.view.lamps[Lamp::Network], kColourGreen);
    QVERIFY(f.led.Enabled());
    // A record outside a run is a run of its own.
    f.sockets.Connect("10.0.0.2");
    QCOMPARE(sink.ends, 2);
    f.server->recorder().RemoveSink(sink);
}

void TestSwitcher::neverCompletingTextIsBounded() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    f.sockets.TakeOut(1);
    // Steady switcher traffic keeps the quiet counter low, so the clean-up never comes.
    std::string chunk(1000, 'z');
    std::string relayed;
    for (int i = 0; i < 100; ++i) {
        f.serial.Feed(chunk);
        QVERIFY(f.line().SerialBuffer.size() <= kSerialBufferLimit);
        f.sched.Advance(kCmndChkIntervalMs);
    }
    relayed = f.sockets.TakeOut(1);
    QCOMPARE(relayed.size() + f.line().SerialBuffer.size(), size_t(100000));
    QVERIFY(relayed.size() > kSerialBufferLimit);
    // Framing goes on afterwards.
    f.line().SerialBuffer.clear();
    f.serial.Feed("OK\r\n");
    QCOMPARE(f.sockets.TakeOut(1), std::string("OK\r\n"));
}

void TestSwitcher::lostPortIsReportedAndClientsStayServed() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    f.sockets.TakeOut(1);
    f.serial.open = false;
    f.server->PortLost(ComponentError(8010, "Input/output error"));
    QCOMPARE(f.view.reports.back().first, std::string("Server Error"));
    f.sockets.Send(1, "\r");  // the unit is recorded although the port is gone
    QCOMPARE(f.view.reports.back().first, std::string("Serial Send Error"));
    f.server->SendtoIP("still here");
    QCOMPARE(f.sockets.TakeOut(1), std::string("still here"));
}

QTEST_APPLESS_MAIN(TestSwitcher)
#include "tst_switcher.moc"
