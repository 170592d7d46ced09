// The status page on real loopback sockets: its JSON and metrics after a known run of events,
// its error answers and limits, the command-line option of the real program, and the page
// itself in a real (headless) browser.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "base/version.h"
#include "browser.h"
#include "components/status_server.h"
#include "live.h"

using namespace qv;
using namespace qv::test;

namespace {

constexpr int kAnswerMs = 5000;
constexpr int kPageUpdateMs = 2000;  // the page must show news within this

struct Answer {
    int status = 0;
    QByteArray head;  // status line and headers
    QByteArray body;
    bool closed = false;  // the server closed the connection
};

// One raw request; reads the answer by its Content-Length (the server keeps connections open).
Answer Request(quint16 port, const QByteArray& request, int ms = kAnswerMs) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(kAnswerMs)) return {};
    s.write(request);
    QByteArray got;
    Answer a;
    (void)QTest::qWaitFor(
        [&] {
            got += s.readAll();
            a.closed = s.state() == QAbstractSocket::UnconnectedState;
            const qsizetype end = got.indexOf("\r\n\r\n");
            if (end < 0) return a.closed;
            a.head = got.left(end);
            const qsizetype at = a.head.toLower().indexOf("content-length: ");
            const qsizetype length = at < 0 ? 0 : a.head.mid(at + 16).split('\r')[0].toLongLong();
            a.body = got.mid(end + 4);
            return a.closed || a.body.size() >= length;
        },
        ms);
    a.status = got.mid(9, 3).toInt();  // "HTTP/1.1 200 ..."
    return a;
}

QByteArray Get(const QByteArray& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

// A JavaScript string literal holding text.
QString Js(const QString& text) {
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}
QString Js(const std::string& latin1) {
    return Js(QString::fromLatin1(latin1.data(), qsizetype(latin1.size())));
}

QJsonObject StatusOf(quint16 port) {
    return QJsonDocument::fromJson(Request(port, Get("/api/status")).body).object();
}

// A server with its status page on a free loopback port.
struct Watched {
    LiveServer live;
    StatusServer status{live.server(), live.host->sockets()};
    explicit Watched(IniKeys keys = {}, QStringList names = {}) : live(std::move(keys)) {
        QString error;
        status.AnswerTo(names);
        if (!status.Listen({QHostAddress(QHostAddress::LocalHost), FreePort()}, &error))
            qFatal("status page: %s", qPrintable(error));
    }
    quint16 Port() const { return status.Port(); }
};

// The metric's sample value, or -1 when it is missing.
qlonglong Sample(const QByteArray& metrics, const QByteArray& name) {
    for (const QByteArray& line : metrics.split('\n'))
        if (line.startsWith(name + ' ')) return line.mid(name.size() + 1).toLongLong();
    return -1;
}

}  // namespace

class TestStatus : public QObject {
    Q_OBJECT
  private slots:
    void endpoints_data();
    void endpoints();
    void statusAndMetricsAfterKnownEvents();
    void historyKeepsTheWindowsRows();
    void passwordNeverShown();
    void errorAnswers_data();
    void errorAnswers();
    void slowRequestIsCutOff();
    void connectionsAreCapped();
    void programOption_data();
    void programOption();
    void pageInBrowser();
    void everySlotNumberTaken();
    void judgeHost_data();
    void judgeHost();
    void onlyItsOwnNames_data();
    void onlyItsOwnNames();
    void statusNameOption();
};

void TestStatus::endpoints_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("loopback");
    QTest::newRow("IPv4 loopback") << "127.0.0.1:8125" << true << true;
    QTest::newRow("other loopback") << "127.0.0.2:1" << true << true;
    QTest::newRow("localhost") << "localhost:65535" << true << true;
    QTest::newRow("IPv6 loopback") << "[::1]:8125" << true << true;
    QTest::newRow("all IPv4") << "0.0.0.0:8125" << true << false;
    QTest::newRow("all IPv6") << "[::]:8125" << true << false;
    QTest::newRow("a LAN address") << "192.0.2.7:80" << true << false;
    QTest::newRow("no port") << "127.0.0.1" << false << false;
    QTest::newRow("port 0") << "127.0.0.1:0" << false << false;
    QTest::newRow("port too big") << "127.0.0.1:65536" << false << false;
    QTest::newRow("port signed") << "127.0.0.1:+80" << false << false;
    QTest::newRow("port not a number") << "127.0.0.1:80x" << false << false;
    QTest::newRow("no address") << ":8125" << false << false;
    QTest::newRow("IPv6 without brackets") << "::1:8125" << false << false;
    QTest::newRow("IPv4 in brackets") << "[127.0.0.1]:8125" << false << false;
    QTest::newRow("a host name") << "example.org:80" << false << false;
    QTest::newRow("empty") << "" << false << false;
}

void TestStatus::endpoints() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(bool, loopback);
    StatusEndpoint at;
    QCOMPARE(ParseStatusEndpoint(text, at), valid);
    if (valid) QCOMPARE(IsLoopbackOnly(at.address), loopback);
}

void TestStatus::statusAndMetricsAfterKnownEvents() {
    Watched w(IniKeys{{"Password", "bdf"}});  // abc
    QJsonObject s = StatusOf(w.Port());
    QCOMPARE(s["version"].toString(), QString::fromLatin1(kVersion));
    QCOMPARE(s["tcpPort"].toInt(), int(w.live.port));
    QCOMPARE(s["serialLink"].toObject(),
             (QJsonObject{{"comPort", 1}, {"settings", "9600,n,8,1"}, {"state", "open"}}));
    QCOMPARE(s["clients"].toArray().size(), 0);
    // The status bar's texts, as the window shows them.
    const auto panel = [&w](int i) { return QString::fromStdString(w.live.view.panels[i]); };
    QCOMPARE(
        s["statusBar"].toObject(),
        (QJsonObject{{"connections", panel(1)}, {"logFile", panel(2)}, {"passThru", panel(3)}}));
    QCOMPARE(panel(1), QString("Client Connections: 0000"));

    // One client fails once, logs in, sends two units; the switcher answers with one frame.
    auto c = w.live.Connect();
    QByteArray received = LiveServer::Receive(*c, 15);
    c->write("abd");
    received += LiveServer::Receive(*c, 35);
    c->write("abc");
    received += LiveServer::Receive(*c, 17);
    c->write("\x04I01\x13POLL");
    QCOMPARE(w.live.SwitcherReceives(4 + 5), QByteArray("\x04I01\x13POLL"));  // the two units
    const QByteArray frame("\x18\x0cOK\x01\x02\x03\x04\x05\x06", 10);
    QVERIFY(w.live.pty.Write(frame));
    received += LiveServer::Receive(*c, frame.size());

    s = StatusOf(w.Port());
    QCOMPARE(s["connectedClients"].toInt(), 1);
    QCOMPARE(s["statusBar"].toObject()["connections"].toString(),
             QString("Client Connections: 0001"));
    const QJsonArray clients = s["clients"].toArray();
    QCOMPARE(clients.size(), 1);
    const QJsonObject one = clients[0].toObject();
    QCOMPARE(one["slot"].toInt(), 1);
    QCOMPARE(one["address"].toString(), QString("127.0.0.1"));
    QCOMPARE(one["loggedIn"].toBool(), true);
    QCOMPARE(one["bytesIn"].toInteger(), qint64(3 + 3 + 9));
    QCOMPARE(one["bytesOut"].toInteger(), qint64(received.size()));
    QCOMPARE(one["outputQueued"].toInteger(), qint64(0));
    QVERIFY(QDateTime::fromString(one["connectedAt"].toString(), Qt::ISODate).isValid());
    const QJsonObject n = s["counters"].toObject();
    QCOMPARE(n, (QJsonObject{{"logins", 1},
                             {"failedLogins", 1},
                             {"addressesSlowed", 0},
                             {"unitsForwarded", 2},
                             {"piecesRelayed", 1},
                             {"slowClientsPutOff", 0},
                             {"serialLinkLosses", 0}}));

    QByteArray metrics = Request(w.Port(), Get("/metrics")).body;
    QCOMPARE(Sample(metrics, "quorvex_connected_clients"), 1);
    QCOMPARE(Sample(metrics, "quorvex_serial_link_up"), 1);
    QCOMPARE(Sample(metrics, "quorvex_logins_total"), 1);
    QCOMPARE(Sample(metrics, "quorvex_failed_logins_total"), 1);
    QCOMPARE(Sample(metrics, "quorvex_addresses_slowed"), 0);
    QCOMPARE(Sample(metrics, "quorvex_units_forwarded_total"), 2);
    QCOMPARE(Sample(metrics, "quorvex_pieces_relayed_total"), 1);
    QCOMPARE(Sample(metrics, "quorvex_slow_clients_put_off_total"), 0);
    QCOMPARE(Sample(metrics, "quorvex_serial_link_losses_total"), 0);
    // The exposition format: one HELP and one TYPE per metric, counters named _total.
    for (const QByteArray& line : metrics.split('\n')) {
        if (!line.startsWith("# TYPE ")) continue;
        const QList<QByteArray> f = line.split(' ');
        QCOMPARE(metrics.count("# HELP " + f[2] + ' '), 1);
        QCOMPARE(f[3] == "counter", f[2].endsWith("_total"));
    }

    // The switcher goes away: the link is down, one loss counted.
    w.live.pty.CloseMaster();
    c->write("\r");  // a write that fails shows the device is gone at the latest
    QTRY_COMPARE_WITH_TIMEOUT(StatusOf(w.Port())["serialLink"].toObject()["state"].toString(),
                              QString("down"), kAnswerMs);
    QCOMPARE(StatusOf(w.Port())["counters"].toObject()["serialLinkLosses"].toInt(), 1);
    metrics = Request(w.Port(), Get("/metrics")).body;
    QCOMPARE(Sample(metrics, "quorvex_serial_link_up"), 0);
    QCOMPARE(Sample(metrics, "quorvex_serial_link_losses_total"), 1);

    c->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(StatusOf(w.Port())["clients"].toArray().size(), 0, kAnswerMs);
    QCOMPARE(Sample(Request(w.Port(), Get("/metrics")).body, "quorvex_connected_clients"), 0);
}

void TestStatus::historyKeepsTheWindowsRows() {
    Watched w(IniKeys{{"Max List Size", "3"}});
    auto c = w.live.Connect();
    QCOMPARE(LiveServer::Receive(*c, 17), QByteArray("Login Sucessful\r\n"));
    c->write(
        "\x14"
        "A00001\x14"
        "A00002\x14"
        "A00003\x14"
        "A00004");
    QCOMPARE(w.live.SwitcherReceives(4 * 7).size(), 4 * 7);
    QTRY_VERIFY_WITH_TIMEOUT(
        w.live.server().history().Rows().back().description.find("A00004") != std::string::npos,
        kAnswerMs);
    const QJsonObject h = StatusOf(w.Port())["history"].toObject();
    QCOMPARE(h["maxRows"].toInt(), 3);
    // The window's rows, in its order: the newest three, newest last.
    QJsonArray expected;
    for (const HistoryRow& r : w.live.server().history().Rows())
        expected.append(QJsonObject{{"address", QString::fromStdString(r.address)},
                                    {"description", QString::fromStdString(r.description)}});
    QCOMPARE(h["rows"].toArray(), expected);
    QCOMPARE(expected.size(), 3);
    QVERIFY(expected[0].toObject()["description"].toString().contains("A00002"));

    w.live.server().ClearHistory();  // the operator's Clear empties the page's list too
    QTRY_COMPARE_WITH_TIMEOUT(StatusOf(w.Port())["history"].toObject()["rows"].toArray().size(), 0,
                              kAnswerMs);
}

void TestStatus::passwordNeverShown() {
    const std::string stored = ScramblePassword("Sesame-42");
    Watched w(IniKeys{{"Password", stored}});
    auto c = w.live.Connect();
    QCOMPARE(LiveServer::Receive(*c, 15), QByteArray("Enter Password>"));
    c->write("Sesame-42");
    QCOMPARE(LiveServer::Receive(*c, 17), QByteArray("Login Sucessful\r\n"));
    const QByteArray everything = Request(w.Port(), Get("/")).body +
                                  Request(w.Port(), Get("/api/status")).body +
                                  Request(w.Port(), Get("/metrics")).body;
    QVERIFY(everything.contains("Client Connection Request"));
    QVERIFY(!everything.contains("Sesame"));
    QVERIFY(!everything.contains(QByteArray::fromStdString(stored)));
}

void TestStatus::errorAnswers_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("closes");
    const QByteArray host = " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    QTest::newRow("page") << Get("/") << 200 << false;
    QTest::newRow("json") << Get("/api/status") << 200 << false;
    QTest::newRow("metrics") << Get("/metrics") << 200 << false;
    QTest::newRow("unknown path") << Get("/admin") << 404 << false;
    QTest::newRow("below a known path") << Get("/api/status/x") << 404 << false;
    QTest::newRow("file-like") << Get("/index.html") << 404 << false;
    QTest::newRow("POST") << "POST /api/status" + host + "Content-Length: 2\r\n\r\n{}" << 405
                          << false;
    QTest::newRow("PUT") << "PUT /" + host + "Content-Length: 0\r\n\r\n" << 405 << false;
    QTest::newRow("DELETE") << "DELETE /metrics" + host + "\r\n" << 405 << false;
    QTest::newRow("oversized header")
        << "GET /" + host + "X-Filler: " + QByteArray(kMaxRequestBytes, 'a') + "\r\n\r\n"
        << 413 << true;
    QTest::newRow("oversized body")
        << "POST /" + host + "Content-Length: 1000000\r\n\r\n" + QByteArray(1000000, 'b') << 413
        << true;
}

void TestStatus::errorAnswers() {
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(bool, closes);
    Watched w;
    const Answer a = Request(w.Port(), request);
    QCOMPARE(a.status, status);
    if (status == 405) QVERIFY(a.head.contains("\r\nAllow: GET"));
    if (closes)
        QTRY_VERIFY_WITH_TIMEOUT(Request(w.Port(), Get("/")).status == 200, kAnswerMs);
    else
        QVERIFY(!a.closed);
    QCOMPARE(Request(w.Port(), Get("/api/status")).status, 200);  // and it keeps serving
}

void TestStatus::slowRequestIsCutOff() {
    Watched w;
    QTcpSocket slow;
    slow.connectToHost(QHostAddress::LocalHost, w.Port());
    QVERIFY(slow.waitForConnected(kAnswerMs));
    slow.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");  // and never the end of the request
    QTRY_COMPARE_WITH_TIMEOUT(slow.state(), QAbstractSocket::UnconnectedState,
                              kRequestDeadlineMs + kAnswerMs);
    QCOMPARE(slow.readAll(), QByteArray());
}

void TestStatus::connectionsAreCapped() {
    Watched w;
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < kMaxStatusConnections; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, w.Port());
        QVERIFY(idle.back()->waitForConnected(kAnswerMs));
    }
    QTest::qWait(100);  // all taken by the server
    const Answer refused = Request(w.Port(), Get("/api/status"), 1000);
    QCOMPARE(refused.status, 0);
    idle.clear();
    QTRY_COMPARE_WITH_TIMEOUT(Request(w.Port(), Get("/api/status"), 1000).status, 200, kAnswerMs);
}

void TestStatus::programOption_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("good") << "127.0.0.1:%1" << 0;
    QTest::newRow("no port") << "127.0.0.1" << 2;
    QTest::newRow("bad address") << "300.1.1.1:8125" << 2;
    QTest::newRow("port taken") << "127.0.0.1:%2" << 1;
}

void TestStatus::programOption() {
    QFETCH(QString, value);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    Pty pty;
    const quint16 tcpPort = FreePort(), statusPort = FreePort();
    QTcpServer taken;  // a port someone else already listens on
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    value.replace("%1", QString::number(statusPort))
        .replace("%2", QString::number(taken.serverPort()));
    QFile ini(dir.filePath("quorvex.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[CONFIGURATION]\r\nSerial Port=1\r\nBaud Rate=9600\r\nTCP/IP Port=" +
              QByteArray::number(tcpPort) + "\r\n");
    ini.close();
    QProcess p;
    p.start(QStringLiteral(QUORVEX_BIN),
            {"--headless", "--dir", dir.path(), "--com", "1=" + pty.path(), "--status", value});
    QVERIFY(p.waitForStarted(kAnswerMs));
    if (exitCode != 0) {
        QVERIFY(p.waitForFinished(kAnswerMs));
        QCOMPARE(p.exitCode(), exitCode);
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(err.count('\n'), 1);
        QVERIFY2(err.contains("--status") && err.contains(value.toLatin1()), err.constData());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(Request(statusPort, Get("/api/status"), 1000).status, 200,
                              kAnswerMs * 2);
    QCOMPARE(StatusOf(statusPort)["tcpPort"].toInt(), int(tcpPort));
    p.terminate();
    QVERIFY(p.waitForFinished(kAnswerMs * 2));
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(p.readAllStandardError(), QByteArray());  // loopback: nothing to warn about
}

void TestStatus::pageInBrowser() {
    if (HeadlessBrowser::Executable().isEmpty())
        QSKIP("chromium is not installed (scripts/install-deps.sh installs it)");
    Watched w(IniKeys{{"Max List Size", "5"}});
    HeadlessBrowser browser;
    QVERIFY(browser.Start());
    QVERIFY(browser.Open(QStringLiteral("http://127.0.0.1:%1/").arg(w.Port())));
    QVERIFY(browser.WaitFor("document.getElementById('state').textContent.startsWith('Live')",
                            kAnswerMs));
    QCOMPARE(browser.Evaluate("document.querySelector('#clients tbody').rows.length").toInt(), 0);
    QCOMPARE(browser.Evaluate("document.getElementById('network-lamp').dataset.state").toString(),
             QString("red"));

    // A client connects and the switcher's frame is relayed to it: the page shows both.
    auto c = w.live.Connect();
    QCOMPARE(LiveServer::Receive(*c, 17), QByteArray("Login Sucessful\r\n"));
    const QByteArray frame("\x18\x0cOK\x01\x02\x03\x04\x05\x06", 10);
    QVERIFY(w.live.pty.Write(frame));
    QCOMPARE(LiveServer::Receive(*c, frame.size()), frame);
    const HistoryRow frameRow = w.live.server().history().Rows().back();
    QCOMPARE(frameRow.address, std::string("Switcher COM1"));
    const QString lastRow =
        "(() => { const r = document.querySelector('#history tbody').lastChild;"
        " return r ? [r.cells[0].textContent, r.cells[1].textContent] : []; })()";
    const QString clientRow =
        "(() => { const r = document.querySelector('#clients tbody').rows;"
        " return r.length === 1 ? [...r[0].cells].map(c => c.textContent) : []; })()";
    QVERIFY(browser.WaitFor(
        QStringLiteral("(() => { const h = %1, c = %2; return h[0] === %3 && "
                       "h[1] === %4 && c[1] === '127.0.0.1' && c[2] === "
                       "'logged in'; })()")
            .arg(lastRow, clientRow, Js(frameRow.address), Js(frameRow.description)),
        kPageUpdateMs));

    // Traffic every 100 ms keeps the network lamp green; it turns red once the traffic stops.
    QTimer traffic;
    QObject::connect(&traffic, &QTimer::timeout, [&c] { c->write("\x13POLL"); });
    traffic.start(100);
    QVERIFY(browser.WaitFor("document.getElementById('network-lamp').dataset.state === 'green'",
                            kPageUpdateMs));
    traffic.stop();
    QVERIFY(browser.WaitFor("document.getElementById('network-lamp').dataset.state === 'red'",
                            kPageUpdateMs + kLedIntervalMs));

    // A unit that holds markup is a row of text in the page and adds no element.
    for (int i = 0; i < 5; ++i) c->write("\x13POLL");  // the list is full: one row in, one out
    QVERIFY(browser.WaitFor("document.querySelector('#history tbody').rows.length === 5",
                            kPageUpdateMs));
    const QString countElements = "document.querySelectorAll('*').length";
    const int elementsBefore = browser.Evaluate(countElements).toInt();
    QVERIFY(elementsBefore > 0);
    c->write("\x04<img src=x onerror=\"document.title='owned'\"><b>&amp;</b>'\"");
    QTRY_VERIFY_WITH_TIMEOUT(
        w.live.server().history().Rows().back().description.find("<img") != std::string::npos,
        kAnswerMs);
    const std::string recorded = w.live.server().history().Rows().back().description;
    QVERIFY(browser.WaitFor(QStringLiteral("(() => { const h = %1; return h[1] === %2; })()")
                                .arg(lastRow, Js(recorded)),
                            kPageUpdateMs));
    QCOMPARE(browser.Evaluate("document.querySelectorAll('img, b').length").toInt(), 0);
    QCOMPARE(browser.Evaluate("document.title").toString(), QString("Quorvex status"));
    QCOMPARE(browser.Evaluate(countElements).toInt(),
             elementsBefore);  // a full list: one in, one out

    // The switcher goes away: the page says so.
    w.live.pty.CloseMaster();
    c->write("\r");
    const bool down = browser.WaitFor(
        "document.getElementById('serial-text').textContent.endsWith('down, retrying')", kAnswerMs);
    if (!down)
        qWarning() << browser.Evaluate("document.getElementById('serial-text').textContent")
                   << int(w.live.server().state().SerialLink);
    QVERIFY(down);
}

void TestStatus::everySlotNumberTaken() {
    // The slot numbers run to the top of their 16-bit range: the status is read to the end.
    CoreFixture f;
    f.Start();
    for (int i = 1; i <= kMaxClientSlots; ++i) f.sockets.Connect("10.0.0.1");
    QCOMPARE(f.server->ClientSlotCount(), kMaxClientSlots);
    StatusServer page(*f.server, f.sockets);
    const QJsonArray clients = page.StatusJson()["clients"].toArray();
    QCOMPARE(clients.size(), qsizetype(kMaxClientSlots));
    QCOMPARE(clients.last().toObject()["slot"].toInt(), int(kMaxClientSlots));
    QCOMPARE(Sample(page.MetricsText(), "quorvex_connected_clients"), int(kMaxClientSlots));
}

void TestStatus::judgeHost_data() {
    QTest::addColumn<QString>("listen");  // the --status address
    QTest::addColumn<QString>("local");   // the address the connection came in on
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("verdict");
    const int ours = int(HostVerdict::Ours), foreign = int(HostVerdict::Foreign),
              bad = int(HostVerdict::Malformed);
    const QString lo = "127.0.0.1", any4 = "0.0.0.0", any6 = "::", lan = "192.0.2.7";
    QTest::newRow("its address") << lo << lo << QByteArray("127.0.0.1") << ours;
    QTest::newRow("its address and port") << lo << lo << QByteArray("127.0.0.1:8125") << ours;
    QTest::newRow("another port (a tunnel)") << lo << lo << QByteArray("127.0.0.1:9000") << ours;
    QTest::newRow("localhost") << lo << lo << QByteArray("localhost:8125") << ours;
    QTest::newRow("localhost, any case, absolute") << lo << lo << QByteArray("LocalHost.") << ours;
    QTest::newRow("a name given") << lo << lo << QByteArray("switcher.studio.example:80") << ours;
    QTest::newRow("a name given, upper case")
        << lo << lo << QByteArray("SWITCHER.Studio.example") << ours;
    QTest::newRow("a stranger's name")
        << lo << lo << QByteArray("attacker.example:8125") << foreign;
    QTest::newRow("below localhost")
        << lo << lo << QByteArray("localhost.attacker.example") << foreign;
    QTest::newRow("a given name as a prefix")
        << lo << lo << QByteArray("switcher.studio.example.attacker.example") << foreign;
    QTest::newRow("another address") << lo << lo << QByteArray("127.0.0.2") << foreign;
    QTest::newRow("IPv6 loopback, listening on IPv4")
        << lo << lo << QByteArray("[::1]:8125") << foreign;
    QTest::newRow("every address: the one come in on")
        << any4 << lan << QByteArray("192.0.2.7:8125") << ours;
    QTest::newRow("every address: not the any address")
        << any4 << lan << QByteArray("0.0.0.0:8125") << foreign;
    QTest::newRow("every address: another one")
        << any4 << lan << QByteArray("192.0.2.8") << foreign;
    QTest::newRow("both families: IPv4 come in on")
        << any6 << "::ffff:192.0.2.7" << QByteArray("192.0.2.7") << ours;
    QTest::newRow("both families: IPv6 come in on")
        << any6 << "2001:db8::7" << QByteArray("[2001:DB8::7]:8125") << ours;
    QTest::newRow("a LAN address") << lan << lan << QByteArray("192.0.2.7:8125") << ours;
    QTest::newRow("none") << lo << lo << QByteArray() << bad;
    QTest::newRow("blank") << lo << lo << QByteArray("  ") << bad;
    QTest::newRow("port not a number") << lo << lo << QByteArray("127.0.0.1:80x") << bad;
    QTest::newRow("port too big") << lo << lo << QByteArray("localhost:65536") << bad;
    QTest::newRow("empty port") << lo << lo << QByteArray("localhost:") << bad;
    QTest::newRow("IPv6 unclosed") << lo << lo << QByteArray("[::1") << bad;
    QTest::newRow("IPv6 without brackets") << lo << lo << QByteArray("::1") << bad;
    QTest::newRow("IPv4 in brackets") << lo << lo << QByteArray("[127.0.0.1]") << bad;
    QTest::newRow("a list") << lo << lo << QByteArray("127.0.0.1, attacker.example") << bad;
}

void TestStatus::judgeHost() {
    QFETCH(QString, listen);
    QFETCH(QString, local);
    QFETCH(QByteArray, host);
    const StatusEndpoint at{QHostAddress(listen), 8125};
    QTEST(int(JudgeHost(host, at, {"switcher.studio.example"}, QHostAddress(local))), "verdict");
}

void TestStatus::onlyItsOwnNames_data() {
    QTest::addColumn<QByteArray>("hostLines");  // the request's Host header lines
    QTest::addColumn<int>("status");
    QTest::newRow("its address") << QByteArray("Host: 127.0.0.1:%1\r\n") << 200;
    QTest::newRow("localhost") << QByteArray("Host: localhost:%1\r\n") << 200;
    QTest::newRow("the name given") << QByteArray("host: Quorvex.Studio.Example\r\n") << 200;
    QTest::newRow("a rebound name") << QByteArray("Host: attacker.example:%1\r\n") << 421;
    QTest::newRow("another loopback address") << QByteArray("Host: 127.0.0.2:%1\r\n") << 421;
    QTest::newRow("no Host") << QByteArray() << 400;
    QTest::newRow("two Hosts") << QByteArray("Host: 127.0.0.1\r\nHost: attacker.example\r\n")
                               << 400;
}

// A request not addressed to the page gets no data on any path, the connection stays usable
// and the page keeps answering its own names.
void TestStatus::onlyItsOwnNames() {
    QFETCH(QByteArray, hostLines);
    QFETCH(int, status);
    Watched w({}, {"quorvex.studio.example"});
    auto c = w.live.Connect();
    QCOMPARE(LiveServer::Receive(*c, 17), QByteArray("Login Sucessful\r\n"));
    hostLines.replace("%1", QByteArray::number(w.Port()));
    for (const char* path : {"/", "/api/status", "/metrics", "/admin"}) {
        const Answer a =
            Request(w.Port(), QByteArray("GET ") + path + " HTTP/1.1\r\n" + hostLines + "\r\n");
        QCOMPARE(a.status, status == 200 && QByteArray(path) == "/admin" ? 404 : status);
        if (status == 200) continue;
        QVERIFY(!a.closed);
        for (const char* data :
             {"127.0.0.1", "Client Connection Request", "quorvex_", "version", "<html", kVersion})
            QVERIFY2(!a.body.contains(data), a.body.constData());
    }
    QCOMPARE(Request(w.Port(), Get("/api/status")).status, 200);
}

// --status-name on the real program: a bad name and a name without --status are refused with
// one line; a good one is answered.
void TestStatus::statusNameOption() {
    QTemporaryDir dir;
    Pty pty;
    const quint16 tcpPort = FreePort(), statusPort = FreePort();
    QFile ini(dir.filePath("quorvex.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[CONFIGURATION]\r\nSerial Port=1\r\nBaud Rate=9600\r\nTCP/IP Port=" +
              QByteArray::number(tcpPort) + "\r\n");
    ini.close();
    const QStringList base = {"--headless", "--dir", dir.path(), "--com", "1=" + pty.path()};
    const QString at = QStringLiteral("127.0.0.1:%1").arg(statusPort);
    for (const QStringList& bad : {QStringList{"--status", at, "--status-name", "bad name"},
                                   QStringList{"--status", at, "--status-name", "-x.example"},
                                   QStringList{"--status-name", "quorvex.example"}}) {
        QProcess p;
        p.start(QStringLiteral(QUORVEX_BIN), base + bad);
        QVERIFY(p.waitForFinished(kAnswerMs));
        QCOMPARE(p.exitCode(), 2);
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(err.count('\n'), 1);
        QVERIFY2(err.contains("--status-name") && err.contains(bad.last().toLatin1()),
                 err.constData());
    }
    QProcess p;
    p.start(QStringLiteral(QUORVEX_BIN),
            base + QStringList{"--status", at, "--status-name", "Quorvex.Example.", "--status-name",
                               "panel-7.studio.example"});
    QVERIFY(p.waitForStarted(kAnswerMs));
    const auto get = [&](const QByteArray& host) {
        return Request(statusPort, "GET /api/status HTTP/1.1\r\nHost: " + host + "\r\n\r\n", 1000)
            .status;
    };
    QTRY_COMPARE_WITH_TIMEOUT(get("127.0.0.1"), 200, kAnswerMs * 2);
    QCOMPARE(get("quorvex.example:" + QByteArray::number(statusPort)), 200);
    QCOMPARE(get("panel-7.studio.example"), 200);
    QCOMPARE(get("studio.example"), 421);
    p.terminate();
    QVERIFY(p.waitForFinished(kAnswerMs * 2));
    QCOMPARE(p.exitCode(), 0);
}

QTEST_MAIN(TestStatus)
#include "tst_status.moc"
