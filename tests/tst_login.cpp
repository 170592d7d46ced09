// The door on the core's clock: wrong passwords slowed per address, the bounded throttle
// table, and clients that never log in put off after the login timeout.
#include <QtTest>

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
};

namespace {

struct Watch : IServerWatch {
    std::vector<std::string> slowed;
    void AddressSlowed(const std::string& a) override { slowed.push_back(a); }
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

QTEST_GUILESS_MAIN(TestLogin)
#include "tst_login.moc"
