// The switcher's USB adapter unplugged and plugged in again, on the real adapters: a pty behind
// a symlink standing for /dev/ttyUSB0, clients on loopback.
#include "live.h"
#include "vanishing_tty.h"

using namespace qv;
using namespace qv::test;

namespace {

const QByteArray kTake(
    "\x14"
    "003011");
const QByteArray kFrame("\x18\x03S011T003");
// The bound from the device's return to a relay both ways again.
constexpr int kBackWithinMs = 2000;

struct Site {
    VanishingTty tty;
    TestFolder dir;
    quint16 port = FreePort();
    FakeView view;
    std::unique_ptr<ServerHost> host;

    explicit Site(bool present = true) {
        if (!present) tty.Vanish();
        if (!dir.WriteIni({{"TCP/IP Port", std::to_string(port)}, {"Stay On Top", "No"}}))
            qFatal("cannot write the settings file");
        HostOptions o;
        o.folder = dir.path();
        o.comDevices.insert(1, tty.path());
        host = std::make_unique<ServerHost>(o, view);
        host->server().Start();
    }
    int Reports(const std::string& title) const {
        return int(std::count_if(view.reports.begin(), view.reports.end(),
                                 [&](const auto& r) { return r.first == title; }));
    }
    std::unique_ptr<QTcpSocket> Client() {
        auto c = std::make_unique<QTcpSocket>();
        c->connectToHost(QHostAddress::LocalHost, port);
        if (!c->waitForConnected(kWaitMs)) return nullptr;
        if (LiveServer::Receive(*c, 17) != "Login Sucessful\r\n") return nullptr;
        return c;
    }
    // A take from the client reaches the switcher, and a frame from it reaches every client.
    bool RelaysBothWays(const std::vector<QTcpSocket*>& clients, int withinMs) {
        clients.front()->write(kTake);
        QByteArray atSwitcher;
        if (!QTest::qWaitFor(
                [&] {
                    atSwitcher += tty.line().ReadAvailable();
                    return atSwitcher.contains(kTake);
                },
                withinMs))
            return false;
        if (!tty.line().Write(kFrame)) return false;
        for (QTcpSocket* c : clients)
            if (!LiveServer::Receive(*c, kFrame.size(), withinMs).endsWith(kFrame)) return false;
        return true;
    }
};

}  // namespace

class TestUnplug : public QObject {
    Q_OBJECT
  private slots:
    void unpluggedAndBackWithClientsConnected();
    void missingAtStartUpServedOnceItAppears();
};

void TestUnplug::unpluggedAndBackWithClientsConnected() {
    Site s;
    auto a = s.Client(), b = s.Client();
    QVERIFY(a && b);
    QVERIFY(s.RelaysBothWays({a.get(), b.get()}, kWaitMs));
    s.view.reports.clear();

    s.tty.Vanish();
    QTRY_COMPARE_WITH_TIMEOUT(s.Reports("Server Error"), 1, kWaitMs);
    QVERIFY2(s.view.reports[0].second.find("Device removed") != std::string::npos,
             s.view.reports[0].second.c_str());
    // Panels go on sending while the switcher is away: one send-error report in all.
    for (int i = 0; i < 5; ++i) {
        a->write(kTake);
        b->write(kTake);
        QVERIFY(QTest::qWaitFor([&] { return !a->bytesToWrite() && !b->bytesToWrite(); }));
    }
    QTRY_COMPARE_WITH_TIMEOUT(s.Reports("Serial Send Error"), 1, kWaitMs);
    // Long enough for the tries to have backed off past the bound.
    QTest::qWait(6500);
    QCOMPARE(s.Reports("Server Error"), 1);
    QCOMPARE(s.Reports("Serial Send Error"), 1);
    QCOMPARE(s.host->server().state().ConnectionCount, Integer(2));
    QCOMPARE(s.view.lamps[Lamp::Serial], kColourRed);

    s.tty.Return();
    QTRY_COMPARE_WITH_TIMEOUT(s.Reports("Switcher Link"), 1, kBackWithinMs);
    QVERIFY(s.RelaysBothWays({a.get(), b.get()}, kBackWithinMs));
    QCOMPARE(s.Reports("Server Error"), 1);
    QCOMPARE(a->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(b->state(), QAbstractSocket::ConnectedState);
}

void TestUnplug::missingAtStartUpServedOnceItAppears() {
    Site s(false);
    QCOMPARE(s.Reports("Server Error"), 1);
    auto a = s.Client();
    QVERIFY(a);
    QTest::qWait(3000);
    s.tty.Return();
    QTRY_COMPARE_WITH_TIMEOUT(s.Reports("Switcher Link"), 1, kBackWithinMs);
    QVERIFY(s.RelaysBothWays({a.get()}, kBackWithinMs));
    QCOMPARE(s.Reports("Server Error"), 1);
}

QTEST_MAIN(TestUnplug)
#include "tst_unplug.moc"
