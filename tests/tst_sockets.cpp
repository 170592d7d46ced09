// Client connections as real networks treat them: clients that half-close, panels that vanish,
// a full descriptor table, clients that stop reading. Loopback sockets, a pseudo-terminal as
// the switcher, and a network namespace of the test's own for the vanished panel.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>
#include <algorithm>
#include <csignal>

#include "live.h"
#include "netns.h"

using namespace qv;
using namespace qv::test;

namespace {

const QByteArray kGreeting = "Login Sucessful\r\n";
const QByteArray kTake =
    "\x14"
    "003011";  // route source 11 to destination 3
const QByteArray kTakeAnswer =
    "\x18\x03"
    "S011T003\x07"
    "ACK";  // ^X^CS011T003^GACK

// A plain client socket, blocking, connected to 127.0.0.1:port (-1 on failure).
int RawConnect(quint16 port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What the kernel holds for fd right now, without waiting.
QByteArray ReadNow(int fd) {
    QByteArray got;
    char buf[4096];
    ssize_t r;
    while ((r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, r);
    return got;
}

// Takes every connection into the next slot, as the server does with an empty table.
struct Acceptor final : ISocketEvents {
    explicit Acceptor(QtSocketArray& a) : array(a) {}
    void ConnectionRequest(Long id) override {
        array.CreateElement(next);
        array.Accept(next++, id);
    }
    void DataArrival(Integer) override {}
    void Disconnected(Integer) override {}
    QtSocketArray& array;
    Integer next = 1;
};

// Reads what arrives within ms, stopping early at the end of the stream or at n bytes.
QByteArray RawReceive(int fd, qsizetype n, int ms) {
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (got.size() < n && t.elapsed() < ms) {
        char buf[4096];
        const ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (r == 0) break;
        if (r > 0)
            got.append(buf, r);
        else
            QTest::qWait(5);
    }
    return got;
}

void CloseWithReset(int fd) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

int TcpState(int fd) {
    tcp_info info{};
    socklen_t n = sizeof info;
    ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &n);
    return info.tcpi_state;
}

int IntOption(int fd, int level, int name) {
    int v = -1;
    socklen_t n = sizeof v;
    ::getsockopt(fd, level, name, &v, &n);
    return v;
}

// CPU time (user + system) a process has used, in clock ticks.
long CpuTicks(qint64 pid) {
    const int fd =
        ::open(QStringLiteral("/proc/%1/stat").arg(pid).toLocal8Bit().constData(), O_RDONLY);
    if (fd < 0) return -1;
    char text[1024] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    const QByteArray stat(text, n > 0 ? n : 0);
    // Fields after the command name, which ends with ')': state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLong() + fields[12].toLong() : -1;
}

// The real program in its own folder, on a free port.
struct Program {
    QTemporaryDir dir;
    Pty pty;
    QProcess proc;
    quint16 port = FreePort();

    // prefix: a program that starts ours (prlimit ...), or none.
    void Start(const QStringList& prefix, const QStringList& extra) {
        QFile ini(dir.filePath("quorvex.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[CONFIGURATION]\r\nSerial Port=1\r\nBaud Rate=9600\r\nTCP/IP Port=" +
                  QByteArray::number(port) +
                  "\r\nStay On Top=No\r\nMax List Size=25\r\nMaintain Log File=No\r\n"
                  "Pass Thru=No\r\nPassword=\r\n");
        ini.close();
        QStringList args = prefix;
        args << QStringLiteral(QUORVEX_BIN) << "--headless"
             << "--dir" << dir.path() << extra;
        const QString program = args.takeFirst();
        proc.start(program, args);
        QVERIFY(proc.waitForStarted(5000));
        QVERIFY(QTest::qWaitFor(
            [&] {
                const int fd = RawConnect(port);
                if (fd < 0) return false;
                CloseWithReset(fd);
                return true;
            },
            10000));
    }
    ~Program() {
        if (proc.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(proc.processId()), SIGTERM);
            if (!proc.waitForFinished(5000)) proc.kill();
        }
    }
};

}  // namespace

class TestSockets : public QObject {
    Q_OBJECT
  private slots:
    void halfClosingClientGetsItsAnswer();
    void closingClientIsADisconnect_data();
    void closingClientIsADisconnect();
    void fiftyClientsCloseAtOnce();
    void halfCloseWithALateAnswerIsServedThenClosed();
    void readmeTakeWithHalfClose();
    void clientSocketsKeepAlive();
    void vanishedPanelIsFound_data();
    void vanishedPanelIsFound();
    void fullDescriptorTableDoesNotSpin_data();
    void fullDescriptorTableDoesNotSpin();
    void clientThatNeverReadsIsCut();
    void outputGathersUnderAStream();
};

void TestSockets::halfClosingClientGetsItsAnswer() {
    LiveServer s;
    const int fd = RawConnect(s.port);
    QVERIFY(fd >= 0);
    QCOMPARE(RawReceive(fd, kGreeting.size(), 5000), kGreeting);
    QCOMPARE(::send(fd, kTake.constData(), kTake.size(), 0), ssize_t(kTake.size()));
    QCOMPARE(::shutdown(fd, SHUT_WR), 0);
    QCOMPARE(s.SwitcherReceives(kTake.size()), kTake);  // what it sent was interpreted
    QTest::qWait(200);
    QCOMPARE(s.state().ConnectionCount, Integer(1));
    QVERIFY(s.view.rows.back().description != "Client Disconnect");
    QVERIFY(s.pty.Write(kTakeAnswer));
    QCOMPARE(RawReceive(fd, kTakeAnswer.size(), 5000), kTakeAnswer);
    QVERIFY(s.pty.Write("Status\r\n"));  // later output reaches it too
    QCOMPARE(RawReceive(fd, 8, 5000), QByteArray("Status\r\n"));
    QCOMPARE(s.state().ConnectionCount, Integer(1));
    // Closed altogether: the next output finds it gone, through the usual disconnect.
    ::close(fd);
    QVERIFY(s.pty.Write("Status\r\n"));
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 0; }, 10000));
    QCOMPARE(s.view.rows.back().description, std::string("Client Disconnect"));
    QVERIFY(!s.host->sockets().Connected(1));
}

void TestSockets::closingClientIsADisconnect_data() {
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("greeting");
    QTest::newRow("logged in") << QByteArray() << kGreeting;
    QTest::newRow("asked for the password") << QByteArray("pw") << QByteArray("Enter Password>");
}

void TestSockets::closingClientIsADisconnect() {
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, greeting);
    LiveServer s;
    s.settings().Password = password.toStdString();
    const int stays = RawConnect(s.port);
    const int fd = RawConnect(s.port);
    QVERIFY(stays >= 0 && fd >= 0);
    QCOMPARE(RawReceive(stays, greeting.size(), 5000), greeting);
    QCOMPARE(RawReceive(fd, greeting.size(), 5000), greeting);
    QCOMPARE(s.state().ConnectionCount, Integer(2));
    ::close(fd);  // a plain close: the end of its input, and nothing more
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 1; }, 2000));
    QCOMPARE(s.view.rows.back().description, std::string("Client Disconnect"));
    QVERIFY(!s.host->sockets().Connected(2));
    QVERIFY(s.host->sockets().Connected(1));
    // Its descriptor is released, not kept for output that will never be read.
    QCOMPARE(s.host->sockets().NativeHandle(2), net::kNoHandle);
    ::close(stays);
}

void TestSockets::fiftyClientsCloseAtOnce() {
    constexpr int kClients = 50;
    LiveServer s(IniKeys{{"Max List Size", "500"}});  // every row kept
    std::vector<int> fds;
    for (int i = 0; i < kClients; ++i) {
        fds.push_back(RawConnect(s.port));
        QVERIFY(fds.back() >= 0);
        QCOMPARE(RawReceive(fds.back(), kGreeting.size(), 5000), kGreeting);
    }
    QCOMPARE(s.state().ConnectionCount, Integer(kClients));
    for (int fd : fds) ::close(fd);
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 0; }, 2000));
    const auto disconnects =
        std::count_if(s.view.rows.begin(), s.view.rows.end(),
                      [](const HistoryRow& r) { return r.description == "Client Disconnect"; });
    QCOMPARE(disconnects, kClients);
    for (Integer i = 1; i <= kClients; ++i) QVERIFY(!s.host->sockets().Connected(i));
    QCOMPARE(s.view.panels[1], std::string("Client Connections: 0000"));
}

void TestSockets::halfCloseWithALateAnswerIsServedThenClosed() {
    LiveServer s;
    const int fd = RawConnect(s.port);
    QVERIFY(fd >= 0);
    QCOMPARE(RawReceive(fd, kGreeting.size(), 5000), kGreeting);
    QCOMPARE(::send(fd, kTake.constData(), kTake.size(), 0), ssize_t(kTake.size()));
    QCOMPARE(::shutdown(fd, SHUT_WR), 0);
    QCOMPARE(s.SwitcherReceives(kTake.size()), kTake);
    QTest::qWait(300);  // a switcher that takes its time
    QVERIFY(s.pty.Write(kTakeAnswer));
    QCOMPARE(RawReceive(fd, kTakeAnswer.size(), 5000), kTakeAnswer);
    // Then the server closes it: the client reads the end of the stream.
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 0; }, 2000));
    QCOMPARE(s.view.rows.back().description, std::string("Client Disconnect"));
    char byte;
    QCOMPARE(::recv(fd, &byte, 1, 0), ssize_t(0));
    ::close(fd);
}

void TestSockets::readmeTakeWithHalfClose() {
    // printf '\x14003011' | nc -q1 127.0.0.1 PORT against the demo switcher: nc sends, shuts
    // its sending side at the end of its input and reads for one more second.
    Program p;
    p.Start({}, {"--demo"});
    const int fd = RawConnect(p.port);
    QVERIFY(fd >= 0);
    QCOMPARE(::send(fd, kTake.constData(), kTake.size(), 0), ssize_t(kTake.size()));
    QCOMPARE(::shutdown(fd, SHUT_WR), 0);
    QCOMPARE(RawReceive(fd, kGreeting.size() + kTakeAnswer.size() + 1, 1000),
             kGreeting + kTakeAnswer);
    ::close(fd);
}

void TestSockets::clientSocketsKeepAlive() {
    LiveServer s;
    auto c = s.Connect();
    QCOMPARE(LiveServer::Receive(*c, 17), kGreeting);
    const int fd = s.host->sockets().NativeHandle(1);
    QVERIFY(fd >= 0);
    QCOMPARE(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    QCOMPARE(IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 30);   // first probe after 30 s idle
    QCOMPARE(IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);  // then every 10 s
    QCOMPARE(IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);     // 3 probes
    const int userTimeout = IntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT);
    QVERIFY2(userTimeout >= 30000 && userTimeout <= 90000,
             qPrintable(QString::number(userTimeout)));
}

void TestSockets::vanishedPanelIsFound_data() {
    QTest::addColumn<bool>("outputWaiting");
    QTest::newRow("idle") << false;
    QTest::newRow("output unacknowledged") << true;
}

void TestSockets::vanishedPanelIsFound() {
    QFETCH(bool, outputWaiting);
    Namespace ns;
    if (!ns.up) QSKIP("no network namespace here (needs root and ip netns)");
    LiveServer s;
    // Seconds instead of a minute; the kernel does the finding either way.
    SocketTiming t;
    t.keepAlive = {1, 1, 2, 3000};
    s.host->sockets().SetTiming(t);
    QProcess panel;  // a client inside the namespace that holds its connection and reads not
    panel.start("ip", {"netns", "exec", ns.name, "bash", "-c",
                       QStringLiteral("exec 3<>/dev/tcp/%1/%2 && exec sleep 60")
                           .arg(ns.outerAddress)
                           .arg(s.port)});
    QVERIFY(panel.waitForStarted(5000));
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 1; }, 10000));
    QCOMPARE(s.view.rows.back().address, ns.innerAddress.toStdString());
    // The panel loses its network: nothing of it reaches the server any more, not even its end.
    QVERIFY(ns.Inside({"ip", "link", "set", ns.inner, "down"}));
    panel.kill();
    panel.waitForFinished(5000);
    if (outputWaiting) QVERIFY(s.pty.Write("Status\r\n"));
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 0; }, 30000));
    QCOMPARE(s.view.rows.back().description, std::string("Client Disconnect"));
    QCOMPARE(s.view.rows.back().address, ns.innerAddress.toStdString());
    QVERIFY(!s.host->sockets().Connected(1));
}

void TestSockets::fullDescriptorTableDoesNotSpin_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("clients leave with a reset") << true;
    QTest::newRow("clients close normally") << false;
}

void TestSockets::fullDescriptorTableDoesNotSpin() {
    QFETCH(bool, reset);
    constexpr int kLimit = 48;
    Program p;
    p.Start({"prlimit", QStringLiteral("--nofile=%1:%1").arg(kLimit)},
            {"--com", "1=" + p.pty.path()});
    std::vector<int> clients;
    for (int i = 0; i < 2 * kLimit; ++i) {
        const int fd = RawConnect(p.port);
        QVERIFY(fd >= 0);
        clients.push_back(fd);
    }
    auto greeted = [&](std::vector<bool>& seen) {
        int n = 0;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (!seen[i] && clients[i] >= 0) {
                char buf[64];
                seen[i] = ::recv(clients[i], buf, sizeof buf, MSG_DONTWAIT) > 0;
            }
            n += seen[i];
        }
        return n;
    };
    std::vector<bool> seen(clients.size(), false);
    QTest::qWait(1000);  // the table fills up
    const int served = greeted(seen);
    QVERIFY2(served > 0 && served < int(clients.size()), qPrintable(QString::number(served)));
    // While the rest waits, the server rests between tries.
    const long before = CpuTicks(p.proc.processId());
    QTest::qWait(2000);
    const long used = CpuTicks(p.proc.processId()) - before;
    QVERIFY2(before >= 0, "no CPU figures for the server");
    QVERIFY2(used * 100 < 5 * 2 * sysconf(_SC_CLK_TCK),
             qPrintable(QStringLiteral("%1 ticks in 2 s").arg(used)));
    // Connected clients are served meanwhile.
    std::size_t first = 0;
    while (!seen[first]) ++first;
    QCOMPARE(::send(clients[first], kTake.constData(), kTake.size(), 0), ssize_t(kTake.size()));
    QByteArray atSwitcher;
    QVERIFY(QTest::qWaitFor(
        [&] {
            atSwitcher += p.pty.ReadAvailable();
            return atSwitcher.contains(kTake);
        },
        5000));
    // Five leave: five that waited are taken.
    int left = 0;
    for (std::size_t i = 0; i < clients.size() && left < 5; ++i) {
        if (!seen[i] || i == first) continue;
        if (reset)
            CloseWithReset(clients[i]);
        else
            ::close(clients[i]);
        clients[i] = -1;
        ++left;
    }
    QVERIFY(QTest::qWaitFor([&] { return greeted(seen) >= served + 5; }, 10000));
    for (int fd : clients)
        if (fd >= 0) CloseWithReset(fd);
}

void TestSockets::clientThatNeverReadsIsCut() {
    LiveServer s;
    SocketTiming t;
    t.stallMs = 1000;
    s.host->sockets().SetTiming(t);
    auto good = s.Connect();
    QCOMPARE(LiveServer::Receive(*good, 17), QByteArray("Login Sucessful\r\n"));
    const int stuck = RawConnect(s.port, 4096);  // and never reads
    QVERIFY(stuck >= 0);
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 2; }));
    // 600 KB of status lines: more than the kernel holds for it, less than the queue's cap.
    const QByteArray block = QByteArray(6 * 1024 - 2, 's') + "\r\n";
    qsizetype received = 0;
    for (int i = 0; i < 100; ++i) {
        QVERIFY(s.pty.Write(block));
        received += good->readAll().size();
    }
    QVERIFY(QTest::qWaitFor(
        [&] {
            received += good->readAll().size();
            return received >= 100 * block.size();
        },
        10000));  // the good client is not held up
    QVERIFY(QTest::qWaitFor([&] { return s.state().ConnectionCount == 1; }, 10000));
    QCOMPARE(s.view.rows.back().description, std::string("Client Disconnect"));
    QVERIFY(!s.host->sockets().Connected(2));
    // Reset, not closed in order: nothing stays queued for it in the kernel.
    QVERIFY(QTest::qWaitFor([&] { return TcpState(stuck) == TCP_CLOSE; }, 5000));
    ::close(stuck);
}

void TestSockets::outputGathersUnderAStream() {
    QtSocketArray array;
    Acceptor events(array);
    array.SetEvents(&events);
    SocketTiming t;
    t.streamGapMs = 200;
    t.fanOutShareInverse = 1'000'000'000;  // any fan-out is dear: the longest gathering follows
    t.gatherMaxMs = 100;
    array.SetTiming(t);
    array.SetListenAddress(QHostAddress::LocalHost);
    array.Listen(0);
    const int a = RawConnect(array.ListeningPort());
    const int b = RawConnect(array.ListeningPort());
    QVERIFY(a >= 0 && b >= 0);
    QVERIFY(QTest::qWaitFor([&] { return array.Connected(1) && array.Connected(2); }));
    const auto run = [&](std::initializer_list<std::pair<Integer, const char*>> writes) {
        array.HoldOutput();
        for (const auto& [i, text] : writes) array.Write(i, text);
        array.SendHeldOutput();
    };
    // A run after a quiet spell leaves at once: it is in the kernel when the call returns.
    run({{1, "A"}, {2, "A"}});
    QCOMPARE(ReadNow(a), QByteArray("A"));
    QCOMPARE(ReadNow(b), QByteArray("A"));
    // Runs right after a fan-out gather; a direct write joins the held output, behind it.
    run({{1, "B"}});
    array.Write(1, "C");
    run({{2, "D"}, {1, "E"}});
    QCOMPARE(ReadNow(a), QByteArray());
    QCOMPARE(array.QueuedOutput(1), std::size_t(3));
    // They leave together from the event loop, in order.
    QCOMPARE(RawReceive(a, 3, 5000), QByteArray("BCE"));
    QCOMPARE(RawReceive(b, 1, 5000), QByteArray("D"));
    // After a quiet spell the next run goes at once, however dear the last fan-out was.
    QTest::qWait(300);
    run({{1, "F"}});
    QCOMPARE(ReadNow(a), QByteArray("F"));
    ::close(a);
    ::close(b);
}

QTEST_GUILESS_MAIN(TestSockets)
#include "tst_sockets.moc"
