// The adapters' own rules: serial settings texts, the locale's date patterns, file replacement,
// a serial adapter unplugged and plugged in again under an open port, output sent at once.
#include <poll.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <QtTest>

#include "components/file_system.h"
#include "components/qt_clock.h"
#include "components/qt_serial_port.h"
#include "records/date_format.h"
#include "records/describe.h"
#include "records/event_log.h"
#include "vanishing_tty.h"

using namespace qv;
using qv::test::VanishingTty;

namespace {

struct SerialRecorder final : ISerialEvents {
    int comm = 0;
    std::vector<ComponentError> lost;
    void OnComm(Integer) override { ++comm; }
    void PortLost(const ComponentError& e) override { lost.push_back(e); }
};

// Bytes go both ways between the open port and the adapter's far side.
bool BytesFlow(QtSerialPort& port, SerialRecorder& events, VanishingTty& tty) {
    const int before = events.comm;
    if (!tty.line().Write("from switcher")) return false;
    std::string got;
    if (!QTest::qWaitFor(
            [&] {
                if (events.comm > before) got += port.Input();
                return got.size() >= 13;
            },
            5000))
        return false;
    if (got != "from switcher") return false;
    for (char c : std::string("to switcher")) port.Output(c);
    QByteArray out;
    return QTest::qWaitFor(
               [&] {
                   out += tty.line().ReadAvailable();
                   return out.size() >= 11;
               },
               5000) &&
           out == "to switcher";
}

}  // namespace

class TestComponents : public QObject {
    Q_OBJECT
  private slots:
    void serialSettings_data();
    void serialSettings();
    void settingsReadBackAsWritten();
    void generalDateOfLocale_data();
    void generalDateOfLocale();
    void replaceKeepsOldFileOnFailure();
    void replacedFileIsOwnerOnly_data();
    void replacedFileIsOwnerOnly();
    void unpluggedAdapter_data();
    void unpluggedAdapter();
    void outputLeavesWithoutTheEventLoop();
};

void TestComponents::serialSettings_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("baud");
    QTest::newRow("9600,n,8,1") << "9600,n,8,1" << true << 9600;
    QTest::newRow("capital parity") << "19200,N,8,1" << true << 19200;
    QTest::newRow("even, 7 bits, 2 stop") << "128000,e,7,2" << true << 128000;
    QTest::newRow("empty baud rate") << ",n,8,1" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("bad parity") << "9600,x,8,1" << false << 0;
    QTest::newRow("9 data bits") << "9600,n,9,1" << false << 0;
    QTest::newRow("3 stop bits") << "9600,n,8,3" << false << 0;
    QTest::newRow("letters") << "fast,n,8,1" << false << 0;
}

void TestComponents::serialSettings() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    if (!valid) {
        QVERIFY_THROWS_EXCEPTION(ComponentError, ParseSerialSettings(text.toStdString()));
        return;
    }
    QTEST(int(ParseSerialSettings(text.toStdString()).baud), "baud");
}

void TestComponents::settingsReadBackAsWritten() {
    QtSerialPort port([](Integer) { return QStringLiteral("/nonexistent/tty"); });
    port.SetSettings("19200,N,8,1");
    QCOMPARE(port.Settings(), std::string("19200,N,8,1"));
    QVERIFY_THROWS_EXCEPTION(ComponentError, port.SetSettings("x"));
    QCOMPARE(port.Settings(), std::string("19200,N,8,1"));  // a refused text changes nothing
    port.SetCommPort(3);
    QCOMPARE(port.CommPort(), Integer(3));
    try {
        port.SetPortOpen(true);
        QFAIL("opened a device that does not exist");
    } catch (const ComponentError& e) {
        QCOMPARE(e.number(), Long(8002));
    }
    QVERIFY(!port.PortOpen());
    QVERIFY_THROWS_EXCEPTION(ComponentError, port.Output('x'));
}

void TestComponents::generalDateOfLocale_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::newRow("US") << "en_US"
                        << "3/5/2002 3:04:05 PM";
    QTest::newRow("Germany") << "de_DE"
                             << "05.03.2002 15:04:05";
    QTest::newRow("no regional settings") << "C"
                                          << "3/5/2002 3:04:05 PM";
}

void TestComponents::generalDateOfLocale() {
    QFETCH(QString, locale);
    const QtClock clock{QLocale(locale)};
    const std::string text = FormatGeneralDate({2002, 3, 5, 15, 4, 5}, clock.Patterns());
    QTEST(QString::fromStdString(text), "text");
    for (unsigned char c : text) QVERIFY(c < 0x80);  // single-byte text in the log
}

void TestComponents::replaceKeepsOldFileOnFailure() {
    QTemporaryDir dir;
    StdFileSystem fs;
    const std::string path = dir.filePath("quorvex.ini").toStdString();
    fs.WriteReplace(path, "old");
    fs.WriteReplace(path, "new");
    QCOMPARE(fs.ReadAll(path), std::string("new"));
    // The new file cannot take the old one's place (a folder stands in the way of the rename).
    const std::string blocked = dir.filePath("blocked").toStdString();
    QVERIFY(QDir().mkpath(QString::fromStdString(blocked) + "/inside"));
    QVERIFY_THROWS_EXCEPTION(ComponentError, fs.WriteReplace(blocked, "x"));
    QVERIFY(QFileInfo(QString::fromStdString(blocked)).isDir());
    QVERIFY(!QFile::exists(QString::fromStdString(blocked) + ".new"));
    fs.Append(path, "+more");
    QCOMPARE(fs.ReadAll(path), std::string("new+more"));
}

void TestComponents::replacedFileIsOwnerOnly_data() {
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("oldMode");  // of the file replaced; 0: none there
    QTest::newRow("no umask, new file") << 0 << 0;
    QTest::newRow("usual umask, over a readable file") << 022 << 0644;
    QTest::newRow("umask taking the owner's write") << 0277 << 0;
    QTest::newRow("over a file every user can write") << 0 << 0666;
}

// The settings file holds the password: whatever the umask and whatever the file it replaces,
// the new one is readable and writable by its owner only, and nothing is left beside it.
void TestComponents::replacedFileIsOwnerOnly() {
    QFETCH(int, mask);
    QFETCH(int, oldMode);
    QTemporaryDir dir;
    const std::string path = dir.filePath("quorvex.ini").toStdString();
    if (oldMode != 0) {
        QFile old(QString::fromStdString(path));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.close();
        QCOMPARE(::chmod(path.c_str(), mode_t(oldMode)), 0);
    }
    StdFileSystem fs;
    const mode_t before = ::umask(mode_t(mask));
    bool thrown = false;
    try {
        fs.WriteReplace(path, "[CONFIGURATION]\r\nPassword=bdf\r\n");
    } catch (const ComponentError&) {
        thrown = true;
    }
    ::umask(before);
    QVERIFY(!thrown);
    struct stat st {};
    QCOMPARE(::stat(path.c_str(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0600);
    QCOMPARE(fs.ReadAll(path), std::string("[CONFIGURATION]\r\nPassword=bdf\r\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"quorvex.ini"});
}

void TestComponents::unpluggedAdapter_data() {
    QTest::addColumn<bool>("nodeRemoved");
    QTest::newRow("line hangs up, name stays") << false;
    QTest::newRow("line hangs up, node removed") << true;
}

void TestComponents::unpluggedAdapter() {
    QFETCH(bool, nodeRemoved);
    VanishingTty tty;
    QtSerialPort port([&](Integer) { return tty.path(); });
    SerialRecorder events;
    port.SetEvents(&events);
    QSignalSpy openChanges(&port, &QtSerialPort::OpenChanged);
    port.SetPortOpen(true);
    QVERIFY(BytesFlow(port, events, tty));

    nodeRemoved ? tty.Vanish() : tty.HangUp();
    QVERIFY(QTest::qWaitFor([&] { return !events.lost.empty(); }, 5000));
    QVERIFY(!port.PortOpen());
    const int commAtLoss = events.comm;
    QTest::qWait(300);  // room for a second report or a storm of empty reads
    QCOMPARE(events.lost.size(), std::size_t(1));
    QCOMPARE(events.comm, commAtLoss);
    const QString reason = QString::fromStdString(events.lost[0].description());
    // Not Qt's stale "Resource temporarily unavailable": the pseudo-terminal's node goes with
    // its line, as a USB adapter's does.
    QCOMPARE(reason, QString("Device removed"));
    QCOMPARE(openChanges.size(), 2);
    QCOMPARE(openChanges.at(1).at(0).toBool(), false);

    // While it is missing, opening fails with the platform's reason.
    if (!nodeRemoved) QFile::remove(tty.path());
    try {
        port.SetPortOpen(true);
        QFAIL("opened a missing device");
    } catch (const ComponentError& e) {
        QCOMPARE(e.number(), Long(8002));
        QCOMPARE(QString::fromStdString(e.description()), QString::fromLocal8Bit(strerror(ENOENT)));
    }
    QVERIFY(!port.PortOpen());

    tty.Return();
    port.SetPortOpen(true);
    QVERIFY(BytesFlow(port, events, tty));
    QCOMPARE(events.lost.size(), std::size_t(1));
}

void TestComponents::outputLeavesWithoutTheEventLoop() {
    VanishingTty tty;
    QtSerialPort port([&](Integer) { return tty.path(); });
    SerialRecorder events;
    port.SetEvents(&events);
    port.SetPortOpen(true);
    const std::string take =
        "\x14"
        "003011";
    for (char c : take) port.Output(c);
    port.SendOutput();
    // No turn of the event loop from here: the take must already be on its way.
    QByteArray got;
    pollfd master{tty.line().MasterFd(), POLLIN, 0};
    for (int i = 0; i < 50 && got.size() < qsizetype(take.size()); ++i)
        if (::poll(&master, 1, 100) > 0) got += tty.line().ReadAvailable();
    QCOMPARE(got.toStdString(), take);
    QVERIFY(events.lost.empty());

    // The line hangs up before the next take: the failed write is a loss, raised from the
    // event loop, not from inside the call.
    tty.HangUp();
    for (char c : take) port.Output(c);
    port.SendOutput();
    QVERIFY(events.lost.empty());
    QVERIFY(QTest::qWaitFor([&] { return !events.lost.empty(); }, 5000));
    QCOMPARE(events.lost.size(), std::size_t(1));
    QVERIFY(!port.PortOpen());
}

QTEST_MAIN(TestComponents)
#include "tst_components.moc"
