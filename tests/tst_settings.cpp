// Reading and writing quorvex.ini, and the numeric reading of its values.
#include <QtTest>

#include "fakes.h"
#include "records/numeric.h"
#include "records/settings.h"

using namespace qv;
using namespace qv::test;

namespace {

const std::vector<std::pair<std::string, std::string>> kBase = {
    {"Serial Port", "1"},  {"Baud Rate", "9600"},   {"TCP/IP Port", "1250"},
    {"Stay On Top", "No"}, {"Max List Size", "25"}, {"Maintain Log File", "No"},
    {"Pass Thru", "No"},   {"Password", ""},
};

// A settings file: the base keys with some values replaced.
QByteArray Ini(const std::map<std::string, std::string>& over) {
    std::string s = "[CONFIGURATION]\r\n";
    for (const auto& [k, v] : kBase) {
        auto it = over.find(k);
        s += k + "=" + (it == over.end() ? v : it->second) + "\r\n";
    }
    return QByteArray::fromStdString(s);
}

const char* const kDefaultFile =
    "[CONFIGURATION]\r\nSerial Port=1\r\nBaud Rate=9600\r\nTCP/IP Port=1250\r\nStay On Top=Yes\r\n"
    "Max List Size=25\r\nMaintain Log File=No\r\nPass Thru=No\r\nPassword=\r\n";

}  // namespace

class TestSettings : public QObject {
    Q_OBJECT
  private slots:
    void leadingNumber_data();
    void leadingNumber();
    void rounding();
    void read_data();
    void read();
    void writeDefaults();
    void writeKeepsOldFileOnFailure();
    void passwordRoundTrip();
};

void TestSettings::leadingNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("word") << "abc" << 0.0;
    QTest::newRow("plain") << "1250" << 1250.0;
    QTest::newRow("trailing text") << "12abc" << 12.0;
    QTest::newRow("blanks inside") << " 1 2\t3" << 123.0;
    QTest::newRow("sign and fraction") << "-2.5" << -2.5;
    QTest::newRow("exponent") << "1.5E3" << 1500.0;
    QTest::newRow("exponent without digits") << "7e" << 7.0;
    QTest::newRow("hex") << "&H10" << 16.0;
    QTest::newRow("hex 16-bit pattern") << "&HFFFF" << -1.0;
    QTest::newRow("hex wider") << "&h10000" << 65536.0;
    QTest::newRow("octal") << "&O17" << 15.0;
    QTest::newRow("second dot ends") << "1.2.3" << 1.2;
}

void TestSettings::leadingNumber() {
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(LeadingNumber(text.toStdString()), value);
}

void TestSettings::rounding() {
    QCOMPARE(ToInteger(2.5), Integer(2));
    QCOMPARE(ToInteger(3.5), Integer(4));
    QCOMPARE(ToInteger(-2.5), Integer(-2));
    QCOMPARE(ToInteger(32767.4), Integer(32767));
    QVERIFY_THROWS_EXCEPTION(ComponentError, ToInteger(32767.5));
    QVERIFY_THROWS_EXCEPTION(ComponentError, ToInteger(-32769));
    QCOMPARE(ToLong(70000), Long(70000));
    QVERIFY_THROWS_EXCEPTION(ComponentError, ToLong(2147483648.0));
    QVERIFY_THROWS_EXCEPTION(ComponentError, LeadingNumber("1e999"));
}

void TestSettings::read_data() {
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("serialPort");
    QTest::addColumn<QString>("baud");
    QTest::addColumn<int>("tcpPort");
    QTest::addColumn<int>("stayOnTop");
    QTest::addColumn<int>("maxList");
    QTest::addColumn<bool>("logFile");
    QTest::addColumn<bool>("passThru");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("readError");
    QTest::addColumn<QString>("panel2");
    QTest::addColumn<QString>("panel3");

    const QString logOff = "Log File: OFF", logOn = "Log File: ON";
    const QString ptOff = "Pass Thru Mode: OFF ", ptOn = "Pass Thru Mode: ON ";
    const QString ptDesign = "Pass Thru Mode: OFF";

    QTest::newRow("no file") << false << QByteArray() << 1 << "9600" << 1250 << -1 << 25 << false
                             << false << QByteArray() << false << logOff << ptDesign;
    QTest::newRow("base file") << true << Ini({}) << 1 << "9600" << 1250 << -2 << 25 << false
                               << false << QByteArray() << false << logOff << ptOff;
    QTest::newRow("stay on top YES")
        << true << Ini({{"Stay On Top", "YES"}}) << 1 << "9600" << 1250 << -1 << 25 << false
        << false << QByteArray() << false << logOff << ptOff;
    QTest::newRow("stay on top maybe")
        << true << Ini({{"Stay On Top", "maybe"}}) << 1 << "9600" << 1250 << -1 << 25 << false
        << false << QByteArray() << false << logOff << ptOff;
    QTest::newRow("log file lower-case no")
        << true << Ini({{"Maintain Log File", "no"}}) << 1 << "9600" << 1250 << -2 << 25 << true
        << false << QByteArray() << false << logOn << ptOff;
    QTest::newRow("pass thru lower-case yes")
        << true << Ini({{"Pass Thru", "yes"}}) << 1 << "9600" << 1250 << -2 << 25 << false << false
        << QByteArray() << false << logOff << ptOff;
    QTest::newRow("pass thru and log file")
        << true << Ini({{"Pass Thru", "Yes"}, {"Maintain Log File", "Yes"}}) << 1 << "9600" << 1250
        << -2 << 25 << false << true << QByteArray() << false << logOff << ptOn;
    QTest::newRow("empty values") << true
                                  << Ini({{"Serial Port", ""},
                                          {"Baud Rate", ""},
                                          {"TCP/IP Port", ""},
                                          {"Stay On Top", ""},
                                          {"Max List Size", ""},
                                          {"Maintain Log File", ""},
                                          {"Pass Thru", ""}})
                                  << 0 << "" << 1250 << -1 << 0 << true << false << QByteArray()
                                  << false << logOn << ptOff;
    QTest::newRow("2.5 rounds to 2")
        << true << Ini({{"Serial Port", "2.5"}}) << 2 << "9600" << 1250 << -2 << 25 << false
        << false << QByteArray() << false << logOff << ptOff;
    QTest::newRow("3.5 rounds to 4")
        << true << Ini({{"Serial Port", "3.5"}}) << 4 << "9600" << 1250 << -2 << 25 << false
        << false << QByteArray() << false << logOff << ptOff;
    QTest::newRow("hex port") << true << Ini({{"Serial Port", "&H10"}}) << 16 << "9600" << 1250
                              << -2 << 25 << false << false << QByteArray() << false << logOff
                              << ptOff;
    // A read error: the keys read before it keep their new values, later ones their start
    // values, the panels are not set.
    QTest::newRow("max list size 40000") << true
                                         << Ini({{"Serial Port", "3"},
                                                 {"TCP/IP Port", "4000"},
                                                 {"Max List Size", "40000"},
                                                 {"Pass Thru", "Yes"},
                                                 {"Password", "bdf"}})
                                         << 3 << "9600" << 4000 << -1 << 25 << false << false
                                         << QByteArray() << true << logOff << ptDesign;
    QTest::newRow("password scrambled")
        << true << Ini({{"Password", "bdf"}}) << 1 << "9600" << 1250 << -2 << 25 << false << false
        << QByteArray("abc") << false << logOff << ptOff;
    QTest::newRow("password code below position")
        << true << Ini({{"Password", std::string("\x01\x01", 2)}}) << 1 << "9600" << 1250 << -2
        << 25 << false << false << QByteArray() << true << logOff << ptOff;
    QTest::newRow("key repeated, first wins")
        << true
        << QByteArray("[configuration]\nSerial Port=3\nserial port=5\n  Baud Rate = 19200 \n") << 3
        << "19200" << 1250 << -1 << 0 << true << false << QByteArray() << false << logOn << ptOff;
    QTest::newRow("other section ignored")
        << true << QByteArray("[OTHER]\nSerial Port=9\n[CONFIGURATION]\nSerial Port=2\n") << 2 << ""
        << 1250 << -1 << 0 << true << false << QByteArray() << false << logOn << ptOff;

    QByteArray garbage(70000, '\0');
    for (int i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 7919 + 13) & 0xFF);
    QTest::newRow("binary garbage") << true << garbage << 0 << "" << 1250 << -1 << 0 << true
                                    << false << QByteArray() << false << logOn << ptOff;
    QByteArray huge = Ini({{"Baud Rate", "9600"}});
    huge += QByteArray(4 * 1024 * 1024, 'x') + "\r\n";
    QTest::newRow("huge file") << true << huge << 1 << "9600" << 1250 << -2 << 25 << false << false
                               << QByteArray() << false << logOff << ptOff;
}

void TestSettings::read() {
    QFETCH(bool, present);
    QFETCH(QByteArray, file);
    CoreFixture f;
    if (present) f.files.files[CoreFixture::kIni] = file.toStdString();
    f.Start();

    QTEST(int(f.settings().SerialPort), "serialPort");
    QTEST(QString::fromStdString(f.settings().BaudRate), "baud");
    QTEST(int(f.settings().TcpPort), "tcpPort");  // a port out of range is replaced by 1250
    QTEST(int(f.settings().StayOnTopMode), "stayOnTop");
    QTEST(int(f.settings().MaxListSize), "maxList");
    QTEST(f.settings().LogFileOn, "logFile");
    QTEST(f.settings().PassThruMode, "passThru");
    QTEST(QByteArray::fromStdString(f.settings().Password), "password");
    QFETCH(bool, readError);
    if (readError) {
        QCOMPARE(f.view.reports.size(), size_t(1));
        QCOMPARE(f.view.reports[0].first, std::string("File Error"));
        QVERIFY(f.view.reports[0].second.rfind("Error Reading quorvex.ini file\r\rError # ", 0) ==
                0);
        QVERIFY(!f.files.Exists(CoreFixture::kIni));
    } else {
        QVERIFY(f.view.reports.empty());
    }
    QTEST(QString::fromStdString(f.view.panels[2]), "panel2");
    QTEST(QString::fromStdString(f.view.panels[3]), "panel3");
}

void TestSettings::writeDefaults() {
    CoreFixture f;
    f.Start();
    f.server->Form_Unload();
    QCOMPARE(QByteArray::fromStdString(f.files.files[CoreFixture::kIni]), QByteArray(kDefaultFile));

    // Pass-through read together with a log file stores the log file as off.
    CoreFixture g;
    g.files.files[CoreFixture::kIni] =
        Ini({{"Pass Thru", "Yes"}, {"Maintain Log File", "Yes"}}).toStdString();
    g.Start();
    g.server->WriteSettings();
    const std::string written = g.files.files[CoreFixture::kIni];
    QVERIFY(written.find("Maintain Log File=No\r\nPass Thru=Yes\r\n") != std::string::npos);
}

void TestSettings::writeKeepsOldFileOnFailure() {
    CoreFixture f;
    f.files.files[CoreFixture::kIni] = Ini({{"Password", "bdf"}}).toStdString();
    f.Start();
    const std::string before = f.files.files[CoreFixture::kIni];

    // A password that cannot be scrambled fails the write; the old file stays.
    f.settings().Password = std::string(1, char(255));
    f.server->WriteSettings();
    QCOMPARE(f.files.files[CoreFixture::kIni], before);
    QCOMPARE(f.view.reports.back().first, std::string("File Error"));
    QCOMPARE(
        f.view.reports.back().second,
        std::string(
            "Error Writing quorvex.ini file\r\rError #  5 - Invalid procedure call or argument"));

    // So does a failing disk.
    f.settings().Password = "new";
    f.files.failWrite = true;
    f.server->WriteSettings();
    QCOMPARE(f.files.files[CoreFixture::kIni], before);
    QCOMPARE(f.view.reports.size(), size_t(2));
}

void TestSettings::passwordRoundTrip() {
    QCOMPARE(ScramblePassword("abc"), std::string("bdf"));
    QCOMPARE(UnscramblePassword("bdf"), std::string("abc"));
    QVERIFY(PasswordStorable("Secret 42"));
    QVERIFY(!PasswordStorable(std::string(1, char(255))));  // 255 + 1 passes a byte
    QVERIFY(!PasswordStorable(std::string(1, char(9))));    // would be stored as a line feed
    QVERIFY(!PasswordStorable(std::string(1, char(31))));   // would be stored as a leading blank

    CoreFixture f;
    f.Start();
    f.settings().Password = "s3cr=t;x";
    f.server->WriteSettings();
    CoreFixture g;
    g.files = f.files;
    g.Start();
    QCOMPARE(g.settings().Password, std::string("s3cr=t;x"));
}

QTEST_APPLESS_MAIN(TestSettings)
#include "tst_settings.moc"
