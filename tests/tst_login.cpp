// The door on the core's clock: wrong passwords slowed per address, the bounded throttle
// table, and clients that never log in put off after the login timeout.
#include <QtTest>
#include <algorithm>

#include "fakes.h"

using namespace qv;
using namespace qv::test;

class TestLogin : public QObject {
    Q_OBJECT
  private slots:
    void guessingAsFastAsRepliesComeIsSlowed();
    void correctPasswordDuringFloodWaitsAtMostTheCurrentWait();
    void textDuringTheWaitIsKeptInOrder();
    void slowingIsSaidOncePerAddress();
    void throttleTableStaysAtItsCap();
    void clientsThatNeverLogInArePutOff();
    void everyHeldAttemptIsAnsweredWhenTheHoldEnds();
    void slowedAddressMayKeepOnlyAFewWaiting_data();
    void slowedAddressMayKeepOnlyAFewWaiting();
    void addressBlocks_data();
    void addressBlocks();
    void longestAwaitingIsPutOffPastTheCap();
    void heldTextIsBoundedAndPushedBack();
};

namespace {

struct Watch : IServerWatch {
    std::vector<std::string> slowed, refused;
    void AddressSlowed(const std::string& a) override { slowed.push_back(a); }
    void ConnectionRefused(const std::string& a) override { refused.push_back(a); }
};

struct LoginFixture : CoreFixture {
    Watch watch;
    LoginFixture() {
        files.files[kIni] = "[CONFIGURATION]\r\nPassword=bdf\r\n";  // abc
        server->AddWatch(watch);
        Start();
    }
    // Steps fake time until the client has a reply, at most limitMs; returns it.
    std::string AwaitReply(Integer slot, long long limitMs) {
        for (long long t = 0; t <= limitMs; t += 5) {
            std::string out = sockets.TakeOut(slot);
            if (!out.empty()) return out;
            sched.Advance(5);
        }
        return {};
    }
};

const std::string kInvalid(kLoginInvalid);

}  // namespace

void TestLogin::guessingAsFastAsRepliesComeIsSlowed() {
    LoginFixture f;
    f.sockets.Connect("10.0.0.9");
    QCOMPARE(f.sockets.TakeOut(1), std::string(kPasswordPrompt));
    // Wrong guesses, each sent the moment the previous reply arrives, for ten minutes.
    std::vector<long long> answered;
    const long long start = f.sched.now;
    while (f.sched.now - start < 10 * 60'000) {
        f.sockets.Send(1, "xyz");
        const std::string reply = f.AwaitReply(1, kThrottleMaxWaitMs + 1000);
        QCOMPARE(reply, kInvalid);
        answered.push_back(f.sched.now - start);
    }
    // The first three are answered at once; then 1, 2, 4, 8, 16 s, then every 30 s.
    QVERIFY(answered[2] < 100);
    QVERIFY(answered[3] >= 1000 && answered[3] < 1100);
    QVERIFY(answered[4] - answered[3] >= 2000);
    for (std::size_t i = 8; i < answered.size(); ++i)
        QVERIFY(answered[i] - answered[i - 1] >= kThrottleMaxWaitMs);
    // At most 30 wrong attempts answered in any minute after the first three.
    for (std::size_t i = 3; i < answered.size(); ++i) {
        const auto inMinute = std::count_if(answered.begin() + 3, answered.end(), [&](long long t) {
            return t >= answered[i] && t < answered[i] + 60'000;
        });
        QVERIFY(inMinute <= 30);
    }
    QVERIFY(f.sockets.Connected(1));
    QCOMPARE(f.server->state().Counters.FailedLogins, std::uint64_t(answered.size()));
    QCOMPARE(f.server->SlowedAddressCount(), std::size_t(1));
}

void TestLogin::correctPasswordDuringFloodWaitsAtMostTheCurrentWait() {
    LoginFixture f;
    f.sockets.Connect("10.0.0.9");
    for (int i = 0; i < 6; ++i) {  // three free, then waits of 1, 2 and 4 s
        f.sockets.Send(1, "xyz");
        QCOMPARE(f.AwaitReply(1, kThrottleMaxWaitMs),
                 std::string(i == 0 ? std::string(kPasswordPrompt) + kInvalid : kInvalid));
    }
    // The next wait is 8 s: a new connection from the same address with the right password
    // is answered within it, and logged in.
    const long long wrongAt = f.sched.now;
    f.sockets.Connect("10.0.0.9");
    f.sockets.TakeOut(2);
    f.sockets.Send(2, "abc");
    QCOMPARE(f.AwaitReply(2, 9000), std::string(kLoginOk));
    QVERIFY(f.sched.now - wrongAt <= 8000 + kDecodeTcpIntervalMs);
    QVERIFY(f.slot(2).LoggedIn);
    QCOMPARE(f.server->SlowedAddressCount(), std::size_t(0));
    // Afterwards the address is answered at once again.
    f.sockets.Connect("10.0.0.9");
    f.sockets.TakeOut(3);
    f.sockets.Send(3, "abc");
    QCOMPARE(f.sockets.TakeOut(3), std::string(kLoginOk));
    // Other addresses were never slowed.
    f.sockets.Connect("10.0.0.8");
    f.sockets.TakeOut(4);
    f.sockets.Send(4, "xyz");
    QCOMPARE(f.sockets.TakeOut(4), kInvalid);
}

void TestLogin::textDuringTheWaitIsKeptInOrder() {
    LoginFixture f;
    f.sockets.Connect("10.0.0.9");
    for (int i = 0; i < 3; ++i) f.sockets.Send(1, "xyz");
    f.sockets.TakeOut(1);
    // Held for a second: the password comes in pieces, then a command; none is lost.
    f.sockets.Send(1, "a");
    f.sched.Advance(300);
    f.sockets.Send(1,
                   "bc\x14"
                   "00");
    f.sched.Advance(300);
    f.sockets.Send(1, "3011");
    QVERIFY(f.sockets.TakeOut(1).empty());
    QVERIFY(f.serial.written.empty());
    // Worked off by the tick: the unit still reaches the line before it is recorded.
    RecordProbe probe;
    probe.at = [&] { return f.serial.sent; };
    f.server->recorder().AddSink(probe);
    QCOMPARE(f.AwaitReply(1, 1000), std::string(kLoginOk));
    const std::string unit =
        "\x14"
        "003011";
    QCOMPARE(f.serial.written, unit);
    QVERIFY(!probe.seen.empty());
    QCOMPARE(probe.seen.back(), std::make_pair(std::string("^T003011"), unit));
    f.server->recorder().RemoveSink(probe);
}

void TestLogin::slowingIsSaidOncePerAddress() {
    LoginFixture f;
    f.sockets.Connect("10.0.0.9");
    f.sockets.Connect("10.0.0.9");
    for (int i = 0; i < 8; ++i) {
        f.sockets.Send(Integer(1 + i % 2), "xyz");
        f.AwaitReply(Integer(1 + i % 2), kThrottleMaxWaitMs);
    }
    QCOMPARE(f.watch.slowed, std::vector<std::string>{"10.0.0.9"});
    // Quiet for the window: the address starts afresh, and a new round is said again.
    f.sched.Advance(kThrottleWindowMs);
    for (int i = 0; i < 3; ++i) {
        f.sockets.Send(1, "xyz");
        QCOMPARE(f.sockets.TakeOut(1), kInvalid);
    }
    QCOMPARE(f.watch.slowed.size(), size_t(2));
}

void TestLogin::throttleTableStaysAtItsCap() {
    LoginThrottle t;
    for (int i = 0; i < 100'000; ++i)
        t.Failed("10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                     std::to_string(i % 256),
                 i);
    QCOMPARE(t.Size(), kThrottleTableCap);
    // The oldest were forgotten, the newest kept.
    QCOMPARE(t.CheckAllowedAt("10.0.0.0", 100'000), 100'000LL);
    for (int i = 0; i < 3; ++i) t.Failed("10.1.134.159", 100'000);  // address 99,999
    QVERIFY(t.CheckAllowedAt("10.1.134.159", 100'000) > 100'000);
    QCOMPARE(t.Size(), kThrottleTableCap);
}

void TestLogin::clientsThatNeverLogInArePutOff() {
    LoginFixture f;
    f.server->SetLoginTimeout(10'000);
    f.sockets.Connect("10.0.0.1");
    f.sched.Advance(5'000);
    f.sockets.Connect("10.0.0.2");
    f.sockets.Send(2, "abc");
    f.sched.Advance(5'000 + kLoginWaitCheckMs);
    QVERIFY(!f.sockets.Connected(1));
    QVERIFY(f.sockets.Connected(2));
    QCOMPARE(f.view.rows.back().description, std::string("Client Disconnect"));
    QCOMPARE(f.view.rows.back().address, std::string("10.0.0.1"));
    QCOMPARE(f.server->state().ConnectionCount, Integer(1));
    f.sched.Advance(60'000);
    QVERIFY(f.sockets.Connected(2));
    QVERIFY(!f.loginWait.Enabled());  // nobody awaits a password
}

void TestLogin::everyHeldAttemptIsAnsweredWhenTheHoldEnds() {
    LoginFixture f;
    f.sockets.Connect("10.0.0.9");
    for (int i = 0; i < kThrottleFreeAttempts; ++i) f.sockets.Send(1, "xyz");  // now slowed
    // More connections of the address send while it is held: two wrong, the last right.
    const char* tries[] = {"xy1", "xy2", "abc"};
    for (Integer i = 2; i <= 4; ++i) {
        f.sockets.Connect("10.0.0.9");
        f.sockets.TakeOut(i);
        f.sockets.Send(i, tries[i - 2]);
        f.sched.Advance(10);
    }
    for (Integer i = 2; i <= 4; ++i) QCOMPARE(f.sockets.TakeOut(i), std::string());
    // One hold later all of them are answered at once, in the order they came, and the right
    // one logs in: it does not wait a further hold for each wrong one before it.
    f.sched.Advance(kThrottleFirstWaitMs);
    QCOMPARE(f.sockets.TakeOut(2), kInvalid);
    QCOMPARE(f.sockets.TakeOut(3), kInvalid);
    QCOMPARE(f.sockets.TakeOut(4), std::string(kLoginOk));
    QVERIFY(f.slot(4).LoggedIn);
    QCOMPARE(f.state().Counters.FailedLogins, std::uint64_t(kThrottleFreeAttempts + 2));
}

void TestLogin::slowedAddressMayKeepOnlyAFewWaiting_data() {
    QTest::addColumn<std::string>("first");
    QTest::addColumn<std::string>("others");
    QTest::newRow("IPv4") << std::string("10.0.0.9") << std::string("10.0.0.9");
    QTest::newRow("IPv6, one /64")
        << std::string("2001:db8:1:2::9") << std::string("2001:db8:1:2:ffff::7");
}

void TestLogin::slowedAddressMayKeepOnlyAFewWaiting() {
    QFETCH(std::string, first);
    QFETCH(std::string, others);
    LoginFixture f;
    f.sockets.Connect(first);
    for (int i = 0; i < kThrottleFreeAttempts; ++i) f.sockets.Send(1, "xyz");
    // The first connection still awaits the password: kSlowedAddressMaxAwaiting - 1 more may.
    for (int i = 1; i < kSlowedAddressMaxAwaiting; ++i) f.sockets.Connect(others);
    QCOMPARE(f.state().ConnectionCount, Integer(kSlowedAddressMaxAwaiting));
    QVERIFY(f.sockets.refused.empty());
    const std::size_t rows = f.view.rows.size();
    for (int i = 0; i < 3; ++i) f.sockets.Connect(others);  // refused unseen, said once
    QCOMPARE(f.sockets.refused.size(), std::size_t(3));
    QCOMPARE(f.view.rows.size(), rows);
    QCOMPARE(f.state().ConnectionCount, Integer(kSlowedAddressMaxAwaiting));
    QCOMPARE(f.watch.refused.size(), std::size_t(1));
    // Another address is not touched.
    f.sockets.Connect("10.0.0.10");
    QCOMPARE(f.state().ConnectionCount, Integer(kSlowedAddressMaxAwaiting + 1));
}

void TestLogin::addressBlocks_data() {
    QTest::addColumn<std::string>("address");
    QTest::addColumn<std::string>("block");
    QTest::newRow("IPv4") << std::string("10.1.2.3") << std::string("10.1.2.3");
    QTest::newRow("IPv6") << std::string("2001:db8:1:2:3:4:5:6")
                          << std::string("2001:db8:1:2::/64");
    QTest::newRow("IPv6 short") << std::string("2001:db8::7") << std::string("2001:db8:0:0::/64");
    QTest::newRow("IPv6 leading zeros")
        << std::string("2001:0db8:0001:0002::1") << std::string("2001:db8:1:2::/64");
    QTest::newRow("loopback") << std::string("::1") << std::string("0:0:0:0::/64");
    QTest::newRow("mapped IPv4") << std::string("::ffff:10.1.2.3") << std::string("10.1.2.3");
    QTest::newRow("zone") << std::string("fe80::1%eth0") << std::string("fe80:0:0:0::/64");
    QTest::newRow("not an address") << std::string("a:b:c") << std::string("a:b:c");
    QTest::newRow("two gaps") << std::string("1::2::3") << std::string("1::2::3");
}

void TestLogin::addressBlocks() {
    QFETCH(std::string, address);
    QFETCH(std::string, block);
    QCOMPARE(AddressBlock(address), block);
}

void TestLogin::longestAwaitingIsPutOffPastTheCap() {
    LoginFixture f;
    for (int i = 0; i < kMaxAwaitingLogin; ++i) {
        f.sockets.Connect("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256));
        f.sched.Advance(1);
    }
    QCOMPARE(f.state().ConnectionCount, Integer(kMaxAwaitingLogin));
    RecordProbe probe;
    f.server->recorder().AddSink(probe);
    auto putOff = [&] {
        std::vector<std::string> gone;
        for (const ActivityRecord& r : probe.records)
            if (r.description == "Client Disconnect") gone.push_back(r.address);
        return gone;
    };
    QVERIFY(putOff().empty());
    // A panel comes: the connection that has waited longest makes room, and the panel, which
    // logs in at once, is served.
    f.sockets.Connect("10.9.9.9");
    QCOMPARE(putOff(), std::vector<std::string>{"10.1.0.0"});
    QCOMPARE(f.sockets.PeerAddress(1), std::string("10.9.9.9"));
    f.sockets.Send(1, "abc");
    QVERIFY(f.slot(1).LoggedIn);
    // The panel no longer waits: one more may; past that the next longest waiting goes, never
    // the panel.
    f.sockets.Connect("10.2.0.1");
    QCOMPARE(putOff().size(), std::size_t(1));
    f.sockets.Connect("10.2.0.2");
    QCOMPARE(putOff(), (std::vector<std::string>{"10.1.0.0", "10.1.0.1"}));
    QVERIFY(f.slot(1).LoggedIn && f.sockets.Connected(1));
    QCOMPARE(f.state().ConnectionCount, Integer(kMaxAwaitingLogin + 1));
    f.server->recorder().RemoveSink(probe);
}

void TestLogin::heldTextIsBoundedAndPushedBack() {
    LoginFixture f;
    f.sockets.Connect("10.0.0.9");
    for (int i = 0; i < kThrottleFreeAttempts; ++i) f.sockets.Send(1, "xyz");
    f.sockets.TakeOut(1);
    // Held: of a megabyte only the bound is taken in, and reading stops there.
    f.sockets.Send(1, "abc" + std::string(1 << 20, '\r'));
    QCOMPARE(f.slot(1).ClientBuffer.size(), kHeldTextMaxAwaitingLogin);
    QVERIFY(!f.sockets.elements[1].reading);
    QCOMPARE(f.sockets.elements[1].in.size(),
             (std::size_t(1) << 20) + 3 - kHeldTextMaxAwaitingLogin);
    // The hold ends: the attempt (the right password) is answered, reading resumes, and what
    // waited in the network is taken in order: every CR reaches the switcher.
    f.sched.Advance(kThrottleFirstWaitMs + kDecodeTcpIntervalMs);
    QCOMPARE(f.sockets.TakeOut(1), std::string(kLoginOk));
    QVERIFY(f.sockets.elements[1].reading);
    f.sockets.Send(1, "");
    QCOMPARE(f.serial.written, std::string(1 << 20, '\r'));
}

QTEST_GUILESS_MAIN(TestLogin)
#include "tst_login.moc"
