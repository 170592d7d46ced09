// The whole path on the real adapters: TCP clients on 127.0.0.1, a pseudo-terminal as the
// switcher.
#include <sys/socket.h>

#include <QRandomGenerator>

#include "live.h"

using namespace qv;
using namespace qv::test;

namespace {

const QByteArray kLoggedIn = "Login Sucessful\r\n";
const QByteArray kEnterPassword = "Enter Password>";
// Long enough for bytes already on their way to arrive, when a test shows that nothing does.
constexpr int kQuietMs = 100;

}  // namespace

class TestRelay : public QObject {
    Q_OBJECT
  private slots:
    void startsOnRealAdapters();
    void units_data();
    void units();
    void loginOverTheWire();
    void switcherOutputReachesLoggedInClientsOnly();
    void burstOf200FramesArrivesWhole();
    void randomBytesDoNotStallLaterFrames();
    void clientThatNeverReadsIsPutOff();
    void thousandConnectCycles();
    void unpluggedSwitcherLeavesClientsServed();
    void floodForASlowLineIsPushedBack();
    void takesFasterThanTheSwitcherReadsArriveWhole();
};

void TestRelay::startsOnRealAdapters() {
    LiveServer s;
    std::string reports;
    for (const auto& r : s.view.reports) reports += r.first + ": " + r.second + "\n";
    QVERIFY2(s.view.reports.empty(), reports.c_str());
    QVERIFY(s.host->sockets().Listening());
    QCOMPARE(s.host->sockets().ListeningPort(), s.port);
    QVERIFY(s.host->serial().PortOpen());
    QCOMPARE(s.host->serial().Settings(), std::string("9600,n,8,1"));
    auto c = s.Connect();
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 17), kLoggedIn);
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 1; }));
    QCOMPARE(s.view.rows.back().address, std::string("127.0.0.1"));
    c->disconnectFromHost();
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 0; }));
    QCOMPARE(s.view.rows.back().description, std::string("Client Disconnect"));
}

void TestRelay::units_data() {
    QTest::addColumn<QList<QByteArray>>("sends");
    QTest::addColumn<QByteArray>("forwarded");
    QTest::addColumn<QStringList>("recorded");
    QTest::addColumn<bool>("passThru");
    using L = QList<QByteArray>;
    QTest::newRow("CR") << L{"\r"} << QByteArray("\r") << QStringList{} << false;
    QTest::newRow("DC4 + 6") << L{"\x14"
                                  "001002"}
                             << QByteArray(
                                    "\x14"
                                    "001002")
                             << QStringList{"^T001002"} << false;
    QTest::newRow("DC4 split across sends, rest waits") << L{"\x14"
                                                             "001",
                                                             "002\x14"
                                                             "12"}
                                                        << QByteArray(
                                                               "\x14"
                                                               "001002")
                                                        << QStringList{"^T001002"} << false;
    QTest::newRow("EOT I") << L{"\x04I12"} << QByteArray("\x04I12") << QStringList{"^DI12"}
                           << false;
    QTest::newRow("EOT T") << L{"\x04T12345"} << QByteArray("\x04T12345") << QStringList{"^DT12345"}
                           << false;
    QTest::newRow("EOT T + 3 waits") << L{"\x04T123"} << QByteArray() << QStringList{} << false;
    QTest::newRow("lone EOT waits") << L{"\x04"} << QByteArray() << QStringList{} << false;
    QTest::newRow("EOT + other: the whole buffer")
        << L{"\x04", "Xall\x14 of\tit"} << QByteArray("\x04Xall\x14 of\tit")
        << QStringList{"^DXall^T of^Iit"} << false;
    QTest::newRow("BS") << L{"\x08"} << QByteArray("\x08") << QStringList{"^H"} << false;
    QTest::newRow("DC3 + 4, DC2 + 4") << L{"\x13"
                                           "1234\x12"
                                           "abcd"}
                                      << QByteArray(
                                             "\x13"
                                             "1234\x12"
                                             "abcd")
                                      << QStringList{"^S1234", "^Rabcd"} << false;
    QTest::newRow("HT, CAN, EM, ACK + 3")
        << L{"\x09"
             "123\x18"
             "456\x19"
             "789\x06"
             "abc"}
        << QByteArray(
               "\x09"
               "123\x18"
               "456\x19"
               "789\x06"
               "abc")
        << QStringList{"^I123", "^X456", "^Y789", "^Fabc"} << false;
    QTest::newRow("printable text dropped, unrecorded")
        << L{"hello world"} << QByteArray() << QStringList{} << false;
    QTest::newRow("text before a unit dropped")
        << L{"xy\x08"} << QByteArray("\x08") << QStringList{"^H"} << false;
    QTest::newRow("pass-through forwards everything unrecorded")
        << L{"hello\x14", "\r\n"} << QByteArray("hello\x14\r\n") << QStringList{} << true;
}

void TestRelay::units() {
    QFETCH(QList<QByteArray>, sends);
    QFETCH(QByteArray, forwarded);
    QFETCH(QStringList, recorded);
    QFETCH(bool, passThru);
    LiveServer s;
    if (passThru) s.settings().PassThruMode = true;
    auto c = s.Connect();
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 17), kLoggedIn);
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 1; }));
    s.view.rows.clear();
    for (const QByteArray& part : sends) QVERIFY(s.ClientSends(*c, part));  // one read each
    QCOMPARE(s.SwitcherReceives(forwarded.size()), forwarded);
    QTest::qWait(kQuietMs);  // a sleep on purpose: nothing more may follow
    QCOMPARE(s.SwitcherReceives(0), forwarded);
    QStringList rows;
    for (const auto& r : s.view.rows) {
        QCOMPARE(r.address, std::string("127.0.0.1"));
        rows << QString::fromStdString(r.description);
    }
    QCOMPARE(rows, recorded);
    Q_UNUSED(passThru);
}

void TestRelay::loginOverTheWire() {
    LiveServer s(IniKeys{{"Password", "bdf"}});  // abc
    auto c = s.Connect();
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 15), kEnterPassword);
    QVERIFY(s.ClientSends(*c, "a"));  // the password in two reads
    c->write("bc\r\n");
    QCOMPARE(LiveServer::Receive(*c, 17), kLoggedIn);
    QCOMPARE(s.SwitcherReceives(1), QByteArray("\r"));
    auto d = s.Connect();
    QVERIFY(d);
    QCOMPARE(LiveServer::Receive(*d, 15), kEnterPassword);
    d->write("abd");
    QCOMPARE(LiveServer::Receive(*d, 35), QByteArray("Invalid password, Please try again>"));
}

void TestRelay::switcherOutputReachesLoggedInClientsOnly() {
    LiveServer s(IniKeys{{"Password", "bdf"}});
    auto a = s.Connect();
    auto b = s.Connect();
    auto locked = s.Connect();
    QVERIFY(a && b && locked);
    for (auto* c : {a.get(), b.get(), locked.get()})
        QCOMPARE(LiveServer::Receive(*c, 15), kEnterPassword);
    a->write("abc");
    b->write("abc");
    QCOMPARE(LiveServer::Receive(*a, 17), kLoggedIn);
    QCOMPARE(LiveServer::Receive(*b, 17), kLoggedIn);

    QByteArray output;
    output += "\x18\x0cOK\x01\x02\x03\x04\x05\x06";
    output += "\x07OK1";
    output += "\x1b[2J\x1b[HQMT READY>";
    output += "OK\r\n";
    output += "Status line one\r\n";
    output += QByteArray(
        "\x19\x00\xff\xfe"
        "abcdef",
        10);  // every byte value passes unchanged
    // A frame split across two reads of the line.
    QVERIFY(s.SwitcherSends(output.left(7)));
    QVERIFY(s.pty.Write(output.mid(7)));
    QCOMPARE(LiveServer::Receive(*a, output.size()), output);
    QCOMPARE(LiveServer::Receive(*b, output.size()), output);
    QTest::qWait(kQuietMs);  // a sleep on purpose: the locked client must get nothing
    QCOMPARE(locked->readAll(), QByteArray());
    QCOMPARE(s.view.rows.back().address, std::string("Switcher COM1"));
}

void TestRelay::burstOf200FramesArrivesWhole() {
    LiveServer s;
    auto c = s.Connect();
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 17), kLoggedIn);
    QByteArray burst;
    for (int i = 0; i < 200; ++i)
        burst +=
            QByteArray("\x18") + char(i % 100 + 1) + QByteArray::number(100000000 + i).right(8);
    QVERIFY(s.pty.Write(burst));
    QCOMPARE(LiveServer::Receive(*c, burst.size()), burst);
}

void TestRelay::randomBytesDoNotStallLaterFrames() {
    LiveServer s;
    auto c = s.Connect();
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 17), kLoggedIn);
    QRandomGenerator rng(20261209);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 64 && t.elapsed() < 3000; ++i) {
        QByteArray chunk(1024, '\0');
        for (auto& ch : chunk) ch = char(rng.bounded(256));
        QVERIFY(s.SwitcherSends(chunk));  // noise in reads of its own, not one block
    }
    QByteArray frames;
    for (int i = 0; i < 5; ++i)
        frames +=
            "\x18\x01"
            "FRAME-" +
            QByteArray::number(i) + "!";
    QVERIFY(s.pty.Write(frames));
    QByteArray got;
    // Behind the noise the frames come through within a few quiet ticks.
    QVERIFY(QTest::qWaitFor(
        [&] {
            got += c->readAll();
            return got.contains(
                       "\x18\x01"
                       "FRAME-4!") &&
                   got.contains(
                       "\x18\x01"
                       "FRAME-3!");
        },
        5000));
    // The server still takes clients and commands.
    auto d = s.Connect();
    QVERIFY(d);
    QCOMPARE(LiveServer::Receive(*d, 17).left(17), kLoggedIn);
}

void TestRelay::clientThatNeverReadsIsPutOff() {
    LiveServer s(IniKeys{{"Max List Size", "5"}});
    auto good = s.Connect();
    QVERIFY(good);
    QCOMPARE(LiveServer::Receive(*good, 17), kLoggedIn);
    QTcpSocket stuck;
    stuck.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    stuck.connectToHost(QHostAddress::LocalHost, s.port);
    QVERIFY(stuck.waitForConnected(5000));
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 2; }));
    stuck.setReadBufferSize(1);  // and reads no more
    // 12 MiB of status lines; the good client reads all of them.
    const QByteArray line = QByteArray(98, 's') + "\r\n";
    const int lines = 12 * 1024 * 1024 / line.size();
    qsizetype received = 0;
    QByteArray block;
    for (int i = 0; i < 64; ++i) block += line;
    for (int i = 0; i < lines / 64; ++i) {
        QVERIFY(s.pty.Write(block));
        received += good->readAll().size();
    }
    QVERIFY(QTest::qWaitFor(
        [&] {
            received += good->readAll().size();
            return received >= qsizetype(lines / 64) * block.size();
        },
        30000));
    // The server put the stuck client off and kept serving the good one.
    QCOMPARE(s.state().ConnectionCount, Integer(1));
    QVERIFY(!s.host->sockets().Connected(2));
}

void TestRelay::thousandConnectCycles() {
    LiveServer s;
    int statusLines = 0;
    for (int i = 0; i < 1000; ++i) {
        QTcpSocket c;
        c.connectToHost(QHostAddress::LocalHost, s.port);
        QVERIFY(c.waitForConnected(5000));
        QCOMPARE(LiveServer::Receive(c, 17), kLoggedIn);
        if (i % 2)
            c.write(
                "\x14"
                "12");  // half a unit left behind
        if (i % 10 != 9) {
            // Leaves with a reset: seen at once.
            c.flush();
            const linger reset{1, 0};
            ::setsockopt(int(c.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            c.abort();
        } else {
            // Leaves in order: seen when the switcher's next output finds it gone.
            c.disconnectFromHost();
            if (c.state() != QAbstractSocket::UnconnectedState) c.waitForDisconnected(1000);
            QVERIFY(s.pty.Write("Status " + QByteArray::number(++statusLines) + "\r\n"));
            QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 0; }, 5000));
        }
    }
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 0; }, kWaitMs));
    QVERIFY(s.server().ClientSlotCount() <= 3);
    auto c = s.Connect();
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 17), kLoggedIn);
    c->write(
        "\x14"
        "ABCDEF");
    QCOMPARE(s.SwitcherReceives(7).right(7), QByteArray("\x14"
                                                        "ABCDEF"));
}

void TestRelay::unpluggedSwitcherLeavesClientsServed() {
    LiveServer s;
    auto c = s.Connect();
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 17), kLoggedIn);
    s.pty.CloseMaster();
    c->write("\r");  // a write that fails shows the device is gone at the latest
    QVERIFY(QTest::qWaitFor([&] { return !s.view.reports.empty(); }, kWaitMs));
    auto d = s.Connect();
    QVERIFY(d);
    QCOMPARE(LiveServer::Receive(*d, 17), kLoggedIn);
}

void TestRelay::floodForASlowLineIsPushedBack() {
    LiveServer s;  // nobody reads the switcher's side of the line
    auto c = s.Connect();
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 17), kLoggedIn);
    c->write("\x04X" + QByteArray(256 * 1024, 'f'));  // EOT + other: one unit, the whole buffer
    // What is held for the client stays within its bound; nothing is refused or reported.
    QVERIFY(QTest::qWaitFor([&] { return c->bytesToWrite() == 0; }, 10000));
    QTest::qWait(200);
    QVERIFY2(s.view.reports.empty(),
             s.view.reports.empty() ? "" : s.view.reports[0].second.c_str());
    QVERIFY(s.server().session(1).ClientBuffer.size() <= kHeldTextMaxLoggedIn);
    QCOMPARE(s.state().ConnectionCount, Integer(1));
    auto d = s.Connect();
    QVERIFY(d);
    QCOMPARE(LiveServer::Receive(*d, 17), kLoggedIn);
}

void TestRelay::takesFasterThanTheSwitcherReadsArriveWhole() {
    constexpr int kClients = 3, kTakes = 20000;  // 420,000 bytes: far more than the line queues
    LiveServer s;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int k = 0; k < kClients; ++k) {
        clients.push_back(s.Connect());
        QVERIFY(clients.back());
        QCOMPARE(LiveServer::Receive(*clients.back(), 17), kLoggedIn);
    }
    // Each take names its client and its number: DC4, client digit, five digits.
    for (int k = 0; k < kClients; ++k) {
        QByteArray all;
        for (int n = 0; n < kTakes; ++n)
            all += '\x14' + QByteArray::number(k) + QByteArray::number(n).rightJustified(5, '0');
        clients[k]->write(all);
    }
    QTest::qWait(2000);  // the switcher reads nothing meanwhile
    const QByteArray got = s.SwitcherReceives(7 * kClients * kTakes, 30000);
    QCOMPARE(got.size(), 7 * kClients * kTakes);
    int next[kClients] = {};
    for (qsizetype at = 0; at < got.size(); at += 7) {
        const QByteArray take = got.mid(at, 7);
        QVERIFY2(take[0] == '\x14', take.constData());
        const int k = take[1] - '0';
        QVERIFY2(k >= 0 && k < kClients, take.constData());
        QCOMPARE(take.mid(2).toInt(), next[k]++);
    }
    for (int k = 0; k < kClients; ++k) QCOMPARE(next[k], kTakes);
    QVERIFY(s.view.reports.empty());
}

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
