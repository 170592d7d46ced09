// Reading and writing quorvex.ini, and the numeric reading of its values.
#include <QtTest>

#include "fakes.h"
#include "ini_text.h"
#include "records/numeric.h"
#include "records/settings.h"

using namespace qv;
using namespace qv::test;

namespace {

// A settings file: the program's defaults with stay-on-top off, and some values replaced.
QByteArray Ini(IniKeys over) {
    over.emplace("Stay On Top", "No");
    return QByteArray::fromStdString(IniText(over));
}

const QString kLogOff = "Log File: OFF", kLogOn = "Log File: ON";
const QString kPtOff = "Pass Thru Mode: OFF ", kPtOn = "Pass Thru Mode: ON ";
const QString kPtDesign = "Pass Thru Mode: OFF";  // the panel as designed: not set at load

}  // namespace

// What the server holds after reading a settings file; the defaults are what Ini({}) gives, so
// a row names only what differs.
struct ReadResult {
    int serialPort = 1;
    QString baud = "9600";
    int tcpPort = 1250;
    int stayOnTop = -2;
    int maxList = 25;
    bool logFile = false;
    bool passThru = false;
    QByteArray password = {};
    bool readError = false;  // reported, and the file deleted
    QString panel2 = kLogOff;
    QString panel3 = kPtOff;
};
Q_DECLARE_METATYPE(ReadResult)

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
    void readErrorKeepsPasswordAndText_data();
    void readErrorKeepsPasswordAndText();
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
    QTest::addColumn<ReadResult>("expected");

    QTest::newRow("no file") << false << QByteArray()
                             << ReadResult{.stayOnTop = -1, .panel3 = kPtDesign};
    QTest::newRow("base file") << true << Ini({}) << ReadResult{};
    QTest::newRow("stay on top YES")
        << true << Ini({{"Stay On Top", "YES"}}) << ReadResult{.stayOnTop = -1};
    QTest::newRow("stay on top maybe")
        << true << Ini({{"Stay On Top", "maybe"}}) << ReadResult{.stayOnTop = -1};
    QTest::newRow("log file lower-case no") << true << Ini({{"Maintain Log File", "no"}})
                                            << ReadResult{.logFile = true, .panel2 = kLogOn};
    QTest::newRow("pass thru lower-case yes")
        << true << Ini({{"Pass Thru", "yes"}}) << ReadResult{};
    QTest::newRow("pass thru and log file")
        << true << Ini({{"Pass Thru", "Yes"}, {"Maintain Log File", "Yes"}})
        << ReadResult{.passThru = true, .panel3 = kPtOn};
    const ReadResult emptied{.serialPort = 0,
                             .baud = "",
                             .stayOnTop = -1,
                             .maxList = 0,
                             .logFile = true,
                             .panel2 = kLogOn};
    QTest::newRow("empty values") << true
                                  << Ini({{"Serial Port", ""},
                                          {"Baud Rate", ""},
                                          {"TCP/IP Port", ""},
                                          {"Stay On Top", ""},
                                          {"Max List Size", ""},
                                          {"Maintain Log File", ""},
                                          {"Pass Thru", ""}})
                                  << emptied;
    QTest::newRow("2.5 rounds to 2")
        << true << Ini({{"Serial Port", "2.5"}}) << ReadResult{.serialPort = 2};
    QTest::newRow("3.5 rounds to 4")
        << true << Ini({{"Serial Port", "3.5"}}) << ReadResult{.serialPort = 4};
    QTest::newRow("hex port") << true << Ini({{"Serial Port", "&H10"}})
                              << ReadResult{.serialPort = 16};
    // A read error: the keys read before it keep their new values, later ones their start
    // values, the panels are not set.
    QTest::newRow("max list size 40000") << true
                                         << Ini({{"Serial Port", "3"},
                                                 {"TCP/IP Port", "4000"},
                                                 {"Max List Size", "40000"},
                                                 {"Pass Thru", "Yes"},
                                                 {"Password", "bdf"}})
                                         << ReadResult{.serialPort = 3,
                                                       .tcpPort = 4000,
                                                       .stayOnTop = -1,
                                                       .password = "abc",  // kept in force
                                                       .readError = true,
                                                       .panel3 = kPtDesign};
    QTest::newRow("password scrambled")
        << true << Ini({{"Password", "bdf"}}) << ReadResult{.password = "abc"};
    QTest::newRow("password code below position")
        << true << Ini({{"Password", std::string("\x01\x01", 2)}}) << ReadResult{.readError = true};
    // Files not as the program writes them: lower-case section, LF lines, blanks, repeats.
    ReadResult keyRepeated = emptied;
    keyRepeated.serialPort = 3;
    keyRepeated.baud = "19200";
    QTest::newRow("key repeated, first wins")
        << true
        << QByteArray("[configuration]\nSerial Port=3\nserial port=5\n  Baud Rate = 19200 \n")
        << keyRepeated;
    ReadResult otherSection = emptied;
    otherSection.serialPort = 2;
    QTest::newRow("other section ignored")
        << true << QByteArray("[OTHER]\nSerial Port=9\n[CONFIGURATION]\nSerial Port=2\n")
        << otherSection;

    QByteArray garbage(70000, '\0');
    for (int i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 7919 + 13) & 0xFF);
    QTest::newRow("binary garbage") << true << garbage << emptied;
    QByteArray huge = Ini({{"Baud Rate", "9600"}});
    huge += QByteArray(4 * 1024 * 1024, 'x') + "\r\n";
    QTest::newRow("huge file") << true << huge << ReadResult{};
}

void TestSettings::read() {
    QFETCH(bool, present);
    QFETCH(QByteArray, file);
    QFETCH(ReadResult, expected);
    CoreFixture f;
    if (present) f.files.files[CoreFixture::kIni] = file.toStdString();
    f.Start();

    QCOMPARE(int(f.settings().SerialPort), expected.serialPort);
    QCOMPARE(QString::fromStdString(f.settings().BaudRate), expected.baud);
    QCOMPARE(int(f.settings().TcpPort), expected.tcpPort);  // out of range is replaced by 1250
    QCOMPARE(int(f.settings().StayOnTopMode), expected.stayOnTop);
    QCOMPARE(int(f.settings().MaxListSize), expected.maxList);
    QCOMPARE(f.settings().LogFileOn, expected.logFile);
    QCOMPARE(f.settings().PassThruMode, expected.passThru);
    QCOMPARE(QByteArray::fromStdString(f.settings().Password), expected.password);
    if (expected.readError) {
        QCOMPARE(f.view.reports.size(), size_t(1));
        QCOMPARE(f.view.reports[0].first, std::string("File Error"));
        QVERIFY(f.view.reports[0].second.rfind("Error Reading quorvex.ini file\r\rError # ", 0) ==
                0);
        QVERIFY(!f.files.Exists(CoreFixture::kIni));
    } else {
        QVERIFY(f.view.reports.empty());
    }
    QCOMPARE(QString::fromStdString(f.view.panels[2]), expected.panel2);
    QCOMPARE(QString::fromStdString(f.view.panels[3]), expected.panel3);
}

void TestSettings::writeDefaults() {
    CoreFixture f;
    f.Start();
    f.server->Stop();
    QCOMPARE(f.files.files[CoreFixture::kIni], IniText());

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

void TestSettings::readErrorKeepsPasswordAndText_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("password");  // in force after the read
    QTest::newRow("bad number, password readable")
        << Ini({{"Max List Size", "40000"}, {"Password", "bdf"}}) << QByteArray("abc");
    QTest::newRow("bad number first, password readable")
        << Ini({{"Serial Port", "99999"}, {"Password", ScramblePassword("Secret")}})
        << QByteArray("Secret");
    QTest::newRow("bad number, no password")
        << Ini({{"TCP/IP Port", "1e12"}, {"Password", ""}}) << QByteArray();
    QTest::newRow("the password itself unreadable")
        << Ini({{"Password", std::string("\x01\x01", 2)}}) << QByteArray();
    QTest::newRow("bad number and unreadable password")
        << Ini({{"Max List Size", "-40000"}, {"Password", std::string("a\x01", 2)}})
        << QByteArray();
}

// A file that cannot be read is reported and deleted as before, but its password stays in force
// when it unscrambles, the file's text is kept whole beside it, and the next write stores that
// password again.
void TestSettings::readErrorKeepsPasswordAndText() {
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, password);
    const std::string kept = "/app/quorvex.ini.unread";
    CoreFixture f;
    f.files.files[CoreFixture::kIni] = file.toStdString();
    f.Start();
    QCOMPARE(f.view.reports.size(), size_t(1));
    QVERIFY(!f.files.Exists(CoreFixture::kIni));
    QCOMPARE(QByteArray::fromStdString(f.settings().Password), password);
    QVERIFY(f.files.Exists(kept));
    QCOMPARE(QByteArray::fromStdString(f.files.files[kept]), file);

    f.server->Stop();
    const std::string written = f.files.files[CoreFixture::kIni];
    QVERIFY(written.find("\r\nPassword=" + ScramblePassword(password.toStdString()) + "\r\n") !=
            std::string::npos);
    QCOMPARE(QByteArray::fromStdString(f.files.files[kept]), file);  // the write leaves it alone

    // A clean read neither keeps nor touches a copy.
    CoreFixture g;
    g.files.files[CoreFixture::kIni] = Ini({{"Password", "bdf"}}).toStdString();
    g.Start();
    QVERIFY(!g.files.Exists(kept));
}

QTEST_APPLESS_MAIN(TestSettings)
#include "tst_settings.moc"
