// The switcher link heals itself: a lost or missing port is tried again with back-off, the
// loss and the return are reported once each, and a unit sent meanwhile reports once.
#include <QtTest>

#include "fakes.h"

using namespace qv;
using namespace qv::test;

class TestSerialLink : public QObject {
    Q_OBJECT
  private slots:
    void lossIsReportedOnceAndRetriedWithBackOff();
    void unitsWhileDownReportOncePerOutage();
    void startupWithTheDeviceMissingIsServedLater();
    void anotherPortInSetupEndsTheOldTries();
    void shutDownEndsTheTries();
};

namespace {

// The device goes away under the open port, as the adapter raises it.
void Unplug(CoreFixture& f, Integer port) {
    f.serial.open = false;
    f.serial.failingPorts.insert(port);
    f.serial.events->PortLost(ComponentError(kErrHardware, "Device removed"));
}

int Opens(const FakeSerial& s) {
    return static_cast<int>(std::count(s.calls.begin(), s.calls.end(), "open"));
}

}  // namespace

void TestSerialLink::lossIsReportedOnceAndRetriedWithBackOff() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    QCOMPARE(f.server->state().SerialLink, SerialLinkState::Open);
    f.view.reports.clear();
    f.serial.calls.clear();

    Unplug(f, 1);
    f.serial.events->PortLost(ComponentError(kErrHardware, "Device removed"));  // said twice
    QCOMPARE(f.view.reports.size(), size_t(1));
    QCOMPARE(f.view.reports[0].first, std::string("Server Error"));
    QCOMPARE(f.view.reports[0].second,
             std::string("Switcher Server Error\r\rError #  8010 - Device removed"));
    QCOMPARE(f.server->state().SerialLink, SerialLinkState::Down);
    QCOMPARE(f.view.lamps[Lamp::Serial], kColourRed);
    QCOMPARE(f.server->state().Counters.SerialLinkLosses, std::uint64_t(1));

    // Tries at 0.4 s, then 0.8, 1.6, 3.2 s later, then every 5 s at the most.
    const long long lost = f.sched.now;
    std::vector<long long> tries;
    for (int i = 0; i < 8; ++i) {
        const int before = Opens(f.serial);
        while (Opens(f.serial) == before) f.sched.Advance(10);
        tries.push_back(f.sched.now - lost);
    }
    const std::vector<long long> expected = {400, 1200, 2800, 6000, 11000, 16000, 21000, 26000};
    QCOMPARE(tries, expected);
    QCOMPARE(f.view.reports.size(), size_t(1));  // failed tries are not reported

    // The device returns: reported once, the link is open and relays both ways again.
    f.serial.failingPorts.clear();
    f.sched.Advance(kSerialRetryMaxMs);
    QCOMPARE(f.server->state().SerialLink, SerialLinkState::Open);
    QCOMPARE(f.view.reports.size(), size_t(2));
    QCOMPARE(f.view.reports[1].first, std::string("Switcher Link"));
    QCOMPARE(f.view.reports[1].second, std::string("The switcher link on COM 1 is open again"));
    f.sockets.TakeOut(1);
    f.sockets.Send(1,
                   "\x14"
                   "003011");
    QCOMPARE(f.serial.written, std::string("\x14"
                                           "003011"));
    f.serial.Feed("\x18\x03S011T003");
    QCOMPARE(f.sockets.TakeOut(1), std::string("\x18\x03S011T003"));
    const int opens = Opens(f.serial);
    f.sched.Advance(30000);
    QCOMPARE(Opens(f.serial), opens);  // no more tries once open
    QVERIFY(f.sockets.Connected(1));
}

void TestSerialLink::unitsWhileDownReportOncePerOutage() {
    CoreFixture f;
    f.Start();
    f.sockets.Connect("10.0.0.1");
    for (int outage = 0; outage < 2; ++outage) {
        Unplug(f, 1);
        f.view.reports.clear();
        for (int i = 0; i < 40; ++i) f.sockets.Send(1, "\r");
        QCOMPARE(f.view.reports.size(), size_t(1));
        QCOMPARE(f.view.reports[0].first, std::string("Serial Send Error"));
        QCOMPARE(f.view.lamps[Lamp::Serial], kColourRed);  // no green flash while down
        QVERIFY(f.slot(1).LoggedIn);
        f.serial.failingPorts.clear();
        f.sched.Advance(kSerialRetryMaxMs);
        QCOMPARE(f.server->state().SerialLink, SerialLinkState::Open);
    }
}

void TestSerialLink::startupWithTheDeviceMissingIsServedLater() {
    CoreFixture f;
    f.serial.failingPorts = {1};
    f.Start();
    QCOMPARE(f.view.reports.size(), size_t(1));
    QCOMPARE(f.view.reports[0].first, std::string("Server Error"));
    QCOMPARE(f.server->state().SerialLink, SerialLinkState::Down);
    QVERIFY(f.sockets.listening);
    f.sched.Advance(3000);
    QCOMPARE(f.view.reports.size(), size_t(1));
    f.serial.failingPorts.clear();
    f.sched.Advance(kSerialRetryMaxMs);
    QVERIFY(f.serial.open);
    QCOMPARE(f.server->state().SerialLink, SerialLinkState::Open);
    QCOMPARE(f.serial.settings, std::string("9600,n,8,1"));
}

void TestSerialLink::anotherPortInSetupEndsTheOldTries() {
    CoreFixture f;
    f.Start();
    Unplug(f, 1);
    f.serial.failingPorts.insert(2);
    SetupChange change(*f.server, {2, "9600", "1250", true, false, false});
    QCOMPARE(change.Run(), SetupChange::Question::ConfirmSerialPort);
    change.Answer(true);
    QCOMPARE(change.Run(), SetupChange::Question::None);
    QVERIFY(!change.Accepted());
    QCOMPARE(f.settings().SerialPort, Integer(1));  // the old number is kept, as ever
    // COM 1 comes back, but the tries are for COM 2 now.
    f.serial.failingPorts.erase(1);
    f.sched.Advance(3000);
    QVERIFY(!f.serial.open);
    QCOMPARE(f.serial.commPort, Integer(2));
    f.serial.failingPorts.clear();
    f.sched.Advance(kSerialRetryMaxMs);
    QVERIFY(f.serial.open);
    QCOMPARE(f.serial.commPort, Integer(2));
}

void TestSerialLink::shutDownEndsTheTries() {
    CoreFixture f;
    f.Start();
    Unplug(f, 1);
    f.server->ShutDown();
    f.serial.calls.clear();
    f.sched.Advance(30000);
    QVERIFY(f.serial.calls.empty());
    QVERIFY(!f.serialRetry.Enabled());
}

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_serial_link.moc"
