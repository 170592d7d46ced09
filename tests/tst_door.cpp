// The door, through the real executable on loopback: the listen address, the allow-list,
// password guessing slowed, and bad option values.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <csignal>

#include "live.h"

using namespace qv::test;

namespace {

// The program on a pty and a free port, with a password ("abc", stored scrambled as "bdf").
struct Door : ServerProcess {
    Pty pty;
    quint16 port = FreePort();

    explicit Door(const QStringList& extra) {
        if (!dir.WriteIni({{"TCP/IP Port", std::to_string(port)}, {"Password", "bdf"}}))
            qFatal("cannot write the settings file");
        if (!Start(QStringLiteral(QUORVEX_BIN),
                   QStringList{"--headless", "--com", "1=" + pty.path()} + extra))
            qFatal("the server did not start");
    }
    ~Door() { Stop(); }
    // A client from source address from; empty when no connection could be made.
    std::unique_ptr<QTcpSocket> Client(const char* to = "127.0.0.1", const char* from = nullptr) {
        for (int i = 0; i < 100; ++i) {
            auto c = std::make_unique<QTcpSocket>();
            if (from) c->bind(QHostAddress(QString::fromLatin1(from)));
            c->connectToHost(QHostAddress(QString::fromLatin1(to)), port);
            if (c->waitForConnected(1000)) return c;
            QTest::qWait(50);
        }
        return {};
    }
};

QByteArray ReadFor(QTcpSocket& c, int ms) {
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (c.bytesAvailable() || c.waitForReadyRead(50)) got += c.readAll();
        if (c.state() != QAbstractSocket::ConnectedState) break;
    }
    return got + c.readAll();
}

// A plain non-blocking client socket from `from` to 127.0.0.1:port; -1 on failure.
int RawClient(quint16 port, const char* from) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &a.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The resident memory of a process, in kB (-1 if unknown).
long ResidentKb(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

}  // namespace

class TestDoor : public QObject {
    Q_OBJECT
  private slots:
    void badOptionValues_data();
    void badOptionValues();
    void bindTakesOneAddressOnly();
    void allowListRefusesOthersUnseen();
    void guessingIsSlowedOnTheRealPath();
    void floodBeforeLoginLeavesMemoryFlat();
};

void TestDoor::badOptionValues_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("said");
    QTest::newRow("bind not an address") << QStringList{"--bind", "10.1.2"} << "--bind";
    QTest::newRow("bind with a prefix") << QStringList{"--bind", "10.1.2.3/24"} << "--bind";
    QTest::newRow("allow prefix too long") << QStringList{"--allow", "10.1.2.0/33"} << "--allow";
    QTest::newRow("allow a name") << QStringList{"--allow", "panel.local"} << "--allow";
    QTest::newRow("login timeout negative")
        << QStringList{"--login-timeout", "-1"} << "--login-timeout";
    QTest::newRow("login timeout words")
        << QStringList{"--login-timeout", "soon"} << "--login-timeout";
}

void TestDoor::badOptionValues() {
    QFETCH(QStringList, args);
    QFETCH(QString, said);
    QProcess p;
    p.start(QStringLiteral(QUORVEX_BIN), QStringList{"--headless"} << args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 2);
    const QByteArray err = p.readAllStandardError().trimmed();
    QVERIFY2(!err.contains('\n'), err.constData());
    QVERIFY2(err.contains(said.toLatin1()) && err.contains(args.last().toLatin1()),
             err.constData());
}

void TestDoor::bindTakesOneAddressOnly() {
    Door d({"--bind", "127.0.0.2"});
    auto c = d.Client("127.0.0.2");
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 15), QByteArray("Enter Password>"));
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, d.port);
    QVERIFY(!other.waitForConnected(1000));
}

void TestDoor::allowListRefusesOthersUnseen() {
    Door d({"--allow", "127.0.0.2/32", "--allow", "::1"});
    auto ok = d.Client("127.0.0.1", "127.0.0.2");
    QVERIFY(ok);
    QCOMPARE(LiveServer::Receive(*ok, 15), QByteArray("Enter Password>"));
    for (int i = 0; i < 3; ++i) {  // refused at once, no greeting
        auto refused = d.Client("127.0.0.1", "127.0.0.3");
        QVERIFY(refused);
        QCOMPARE(ReadFor(*refused, 2000), QByteArray());
        QCOMPARE(refused->state(), QAbstractSocket::UnconnectedState);
    }
    // The slot is not taken (the next allowed client gets slot 2), the history holds only the
    // allowed connections, and the refusal is said once for the address.
    auto ok2 = d.Client("127.0.0.1", "127.0.0.2");
    QVERIFY(ok2);
    QCOMPARE(LiveServer::Receive(*ok2, 15), QByteArray("Enter Password>"));
    d.Stop();
    QCOMPARE(d.proc.state(), QProcess::NotRunning);
    const QByteArray out = d.proc.readAllStandardOutput();
    QVERIFY2(!out.contains("127.0.0.3"), out.constData());
    QCOMPARE(out.count("Client Connection Request"), 2);
    const QByteArray err = d.proc.readAllStandardError();
    QCOMPARE(err.count("127.0.0.3"), 1);
}

void TestDoor::guessingIsSlowedOnTheRealPath() {
    Door d({});
    auto c = d.Client();
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 15), QByteArray("Enter Password>"));
    const QByteArray invalid = "Invalid password, Please try again>";
    QElapsedTimer t;
    for (int i = 0; i < 3; ++i) {
        c->write("xyz");
        QCOMPARE(LiveServer::Receive(*c, invalid.size()), invalid);
    }
    // The fourth is held for a second after the third.
    t.start();
    c->write("xyz");
    QCOMPARE(LiveServer::Receive(*c, invalid.size(), 5000), invalid);
    QVERIFY2(t.elapsed() >= 900, qPrintable(QString::number(t.elapsed())));
    // The right password on another connection waits its turn (2 s), then logs in.
    auto right = d.Client();
    QVERIFY(right);
    QCOMPARE(LiveServer::Receive(*right, 15), QByteArray("Enter Password>"));
    right->write("abc");
    QCOMPARE(LiveServer::Receive(*right, 17, 5000), QByteArray("Login Sucessful\r\n"));
    d.Stop();
    QCOMPARE(d.proc.state(), QProcess::NotRunning);
    QCOMPARE(d.proc.readAllStandardError().count("127.0.0.1: its logins are being slowed"), 1);
}

void TestDoor::floodBeforeLoginLeavesMemoryFlat() {
    Door d({});
    // One address guesses wrong three times and is slowed; then four of its connections and
    // one from another address stream text without logging in, as fast as they are taken.
    auto c = d.Client();
    QVERIFY(c);
    QCOMPARE(LiveServer::Receive(*c, 15), QByteArray("Enter Password>"));
    const QByteArray invalid = "Invalid password, Please try again>";
    for (int i = 0; i < 3; ++i) {
        c->write("xyz");
        QCOMPARE(LiveServer::Receive(*c, invalid.size()), invalid);
    }
    std::vector<int> flood;
    for (const char* from : {"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.2"}) {
        flood.push_back(RawClient(d.port, from));
        QVERIFY(flood.back() >= 0);
    }
    QTest::qWait(200);
    const long before = ResidentKb(d.proc.processId());
    QVERIFY(before > 0);
    const QByteArray chunk(64 * 1024, 'x');
    qint64 sent = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 3000) {
        bool any = false;
        for (int fd : flood) {
            const ssize_t n =
                ::send(fd, chunk.constData(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent += n;
                any = true;
            }
        }
        if (!any) QTest::qWait(5);
    }
    const long grown = ResidentKb(d.proc.processId()) - before;
    qInfo("sent %lld bytes in 3 s; the server grew by %ld kB", sent, grown);
    QVERIFY2(grown < 32 * 1024, qPrintable(QString::number(grown)));
    // The server is served meanwhile: a right password from another address logs in.
    auto right = d.Client("127.0.0.1", "127.0.0.5");
    QVERIFY(right);
    QCOMPARE(LiveServer::Receive(*right, 15), QByteArray("Enter Password>"));
    right->write("abc");
    QCOMPARE(LiveServer::Receive(*right, 17, 5000), QByteArray("Login Sucessful\r\n"));
    for (int fd : flood) ::close(fd);
}

QTEST_GUILESS_MAIN(TestDoor)
#include "tst_door.moc"
