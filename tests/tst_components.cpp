// The adapters' own rules: serial settings texts, the locale's date patterns, file replacement.
#include <QTemporaryDir>
#include <QtTest>

#include "components/file_system.h"
#include "components/qt_clock.h"
#include "components/qt_serial_port.h"
#include "records/date_format.h"
#include "records/describe.h"
#include "records/event_log.h"

using namespace qv;

class TestComponents : public QObject {
    Q_OBJECT
  private slots:
    void serialSettings_data();
    void serialSettings();
    void settingsReadBackAsWritten();
    void generalDateOfLocale_data();
    void generalDateOfLocale();
    void replaceKeepsOldFileOnFailure();
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

QTEST_APPLESS_MAIN(TestComponents)
#include "tst_components.moc"
