// Descriptions, the command history and the event log.
#include <QtTest>

#include "fakes.h"
#include "ini_text.h"
#include "records/date_format.h"
#include "records/describe.h"
#include "records/event_log.h"

using namespace qv;
using namespace qv::test;

class TestRecords : public QObject {
    Q_OBJECT
  private slots:
    void clientDescription_data();
    void clientDescription();
    void switcherDescription_data();
    void switcherDescription();
    void generalDate_data();
    void generalDate();
    void weekdayOfAMonthOutOfRange();
    void recordLineColumns();
    void historyKeepsMaxListSizeRows();
    void recordsFollowTheClockAndPatterns();
    void listSizeBelowOneKeepsNewestRow();
    void eventLogHeaderAndRecords();
    void noFileWhileLogIsOff();
    void deletedLogIsRecreated();
    void logFailureReportedOnce();
    void clearEmptiesHistoryOnly();
};

void TestRecords::clientDescription_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("description");
    QTest::newRow("tab") << QByteArray("a\tb") << QByteArray("a^Ib");
    QTest::newRow("tilde dropped, brace kept") << QByteArray("~}") << QByteArray("}");
    QTest::newRow("CR LF only") << QByteArray("\r\n") << QByteArray();
    QTest::newRow("codes 1, 7, 27, 31") << QByteArray("\x01\x07\x1b\x1f") << QByteArray("^A^G^[^_");
    QTest::newRow("NUL and high codes dropped")
        << QByteArray("a\0b\x80\xff", 5) << QByteArray("ab");
    QTest::newRow("unit") << QByteArray(
                                 "\x14"
                                 "001002")
                          << QByteArray("^T001002");
}

void TestRecords::clientDescription() {
    QFETCH(QByteArray, text);
    QTEST(QByteArray::fromStdString(DescribeClientText(text.toStdString())), "description");
}

void TestRecords::switcherDescription_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("description");
    QTest::newRow("CAN frame") << QByteArray("\x18\x0cOK") << QByteArray("^X12OK");
    QTest::newRow("controls after marker dropped") << QByteArray(
                                                          "\x18\x05"
                                                          "A\x07"
                                                          "B")
                                                   << QByteArray("^X5AB");
    QTest::newRow("EM frame") << QByteArray(
                                     "\x19"
                                     "A")
                              << QByteArray("^Y65");
    QTest::newRow("second char printable or not")
        << QByteArray("\x18\x7e\x18z") << QByteArray("^X126z");
    QTest::newRow("marker further in") << QByteArray(
                                              "A\x18"
                                              "B")
                                       << QByteArray("A^X24B");
    QTest::newRow("no marker") << QByteArray("\x07OK\r\n") << QByteArray("^GOK");
    QTest::newRow("ready text") << QByteArray("QMT READY>") << QByteArray("QMT READY>");
}

void TestRecords::switcherDescription() {
    QFETCH(QByteArray, text);
    QTEST(QByteArray::fromStdString(DescribeSwitcherText(text.toStdString())), "description");
}

void TestRecords::generalDate_data() {
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("time");
    QTest::addColumn<int>("hour");
    QTest::addColumn<int>("minute");
    QTest::addColumn<int>("second");
    QTest::addColumn<QString>("text");
    QTest::newRow("US afternoon") << "M/d/yyyy"
                                  << "h:mm:ss AP" << 15 << 4 << 5 << "3/5/2002 3:04:05 PM";
    QTest::newRow("US noon") << "M/d/yyyy"
                             << "h:mm:ss AP" << 12 << 0 << 0 << "3/5/2002 12:00:00 PM";
    QTest::newRow("US just after midnight")
        << "M/d/yyyy"
        << "h:mm:ss AP" << 0 << 0 << 1 << "3/5/2002 12:00:01 AM";
    QTest::newRow("midnight: date alone") << "M/d/yyyy"
                                          << "h:mm:ss AP" << 0 << 0 << 0 << "3/5/2002";
    QTest::newRow("24-hour") << "dd.MM.yyyy"
                             << "HH:mm:ss" << 15 << 4 << 5 << "05.03.2002 15:04:05";
    QTest::newRow("literal and time zone")
        << "yyyy-MM-dd"
        << "HH' h 'mm:ss t" << 9 << 4 << 5 << "2002-03-05 09 h 04:05";
}

void TestRecords::weekdayOfAMonthOutOfRange() {
    // A month outside 1..12 is shown as January, the weekday too, not read off the table's end.
    QCOMPARE(FormatPattern({2002, 13, 5, 0, 0, 0}, "dddd MMMM"),
             FormatPattern({2002, 1, 5, 0, 0, 0}, "dddd MMMM"));
    QCOMPARE(FormatPattern({2002, 0, 5, 0, 0, 0}, "ddd"), std::string("Sat"));
}

void TestRecords::generalDate() {
    QFETCH(QString, date);
    QFETCH(QString, time);
    QFETCH(int, hour);
    QFETCH(int, minute);
    QFETCH(int, second);
    const LocalDateTime t{2002, 3, 5, hour, minute, second};
    QTEST(QString::fromStdString(FormatGeneralDate(t, {date.toStdString(), time.toStdString()})),
          "text");
}

void TestRecords::recordLineColumns() {
    const std::string line = RecordLine("3/5/2002 3:04:05 PM", "Switcher COM1", "^X12OK");
    QCOMPARE(line.substr(0, 25), std::string("3/5/2002 3:04:05 PM      "));
    QCOMPARE(line.substr(25, 13), std::string("Switcher COM1"));  // column 26
    QCOMPARE(line.substr(38, 7), std::string(7, ' '));
    QCOMPARE(line.substr(45), std::string("^X12OK"));  // column 46
    // A long date-time text gets no fill; a long address pushes the description on.
    const std::string l2 = RecordLine("12/28/2002 10:04:05 PM", "192.168.100.200", "x");
    QCOMPARE(l2.substr(22, 4), std::string("    "));
    QCOMPARE(l2.substr(26, 15), std::string("192.168.100.200"));
    const std::string l3 = RecordLine("12/28/2002 10:04:05 PM", "a-very-long-host-address", "x");
    QCOMPARE(l3, std::string("12/28/2002 10:04:05 PM    a-very-long-host-addressx"));
    // An empty address still puts the description in column 46.
    QCOMPARE(RecordLine("3/5/2002 3:04:05 PM", "", "d").size(), size_t(46));
}

void TestRecords::historyKeepsMaxListSizeRows() {
    CoreFixture f;
    f.Start();
    for (int i = 1; i <= 26; ++i) f.server->LogIPActivity("event " + std::to_string(i), "10.0.0.1");
    QCOMPARE(f.view.rows.size(), size_t(25));
    QCOMPARE(f.view.rows.front().description, std::string("event 2"));
    QCOMPARE(f.view.rows.back().description, std::string("event 26"));
    QCOMPARE(f.server->history().Rows().size(), size_t(25));
    f.server->LogActivity("\r\n", 1);  // an empty description records nothing
    QCOMPARE(f.view.rows.back().description, std::string("event 26"));
    f.server->LogActivity("\x18\x0cOK", 3);
    QCOMPARE(f.view.rows.back().address, std::string("Switcher COM3"));
    QCOMPARE(f.view.rows.back().description, std::string("^X12OK"));
}

void TestRecords::recordsFollowTheClockAndPatterns() {
    // The date text is worked out once per second and patterns; it must still follow both.
    FakeClock clock;
    ActivityRecorder recorder(clock);
    RecordProbe probe;
    recorder.AddSink(probe);
    recorder.LogIPActivity("one", "a");
    recorder.LogIPActivity("two", "a");
    clock.now.second = 6;
    recorder.LogIPActivity("three", "a");
    clock.patterns = {"yyyy-MM-dd", "HH:mm:ss"};
    recorder.LogIPActivity("four", "a");
    clock.now = {2002, 3, 5, 15, 4, 5};  // back to the first time, in the new patterns
    recorder.LogIPActivity("five", "a");
    std::vector<std::string> dates;
    for (const ActivityRecord& r : probe.records) dates.push_back(r.dateText);
    QCOMPARE(dates, (std::vector<std::string>{"3/5/2002 3:04:05 PM", "3/5/2002 3:04:05 PM",
                                              "3/5/2002 3:04:06 PM", "2002-03-05 15:04:06",
                                              "2002-03-05 15:04:05"}));
}

void TestRecords::listSizeBelowOneKeepsNewestRow() {
    CoreFixture f;
    f.files.files[CoreFixture::kIni] = IniText({{"Max List Size", "0"}});
    f.Start();
    f.server->LogIPActivity("one", "a");
    f.server->LogIPActivity("two", "a");
    QCOMPARE(f.view.rows.size(), size_t(1));
    QCOMPARE(f.view.rows[0].description, std::string("two"));
}

void TestRecords::eventLogHeaderAndRecords() {
    CoreFixture f;
    f.Start();
    f.settings().LogFileOn = true;
    f.server->LogActivity("\x18\x0cOK", 1);
    f.server->LogIPActivity("Client Connection Request", "127.0.0.1");
    const QList<QByteArray> lines =
        QByteArray::fromStdString(f.files.files[CoreFixture::kLog]).split('\n');
    QCOMPARE(lines.size(), 14);  // 11 header lines, 2 records, nothing after the last CR LF
    for (int i = 0; i < 13; ++i) QVERIFY2(lines[i].endsWith('\r'), qPrintable(QString::number(i)));
    QVERIFY(lines[0].startsWith(QByteArray(13, ' ') + "Q U I L L"));
    QCOMPARE(lines[1], QByteArray("\r"));
    QVERIFY(lines[2].startsWith(QByteArray(19, ' ') + "1"));
    QCOMPARE(lines[7], QByteArray("Network Server Master Event Logfile\r"));
    const QByteArray columns = " DATE     TIME           CLIENT ADDRESS      MESSAGE DESCRIPTION";
    QCOMPARE(columns.size(), 64);
    QCOMPARE(lines[9], columns + "\r");
    QCOMPARE(lines[9].indexOf("CLIENT ADDRESS"), 25);
    QCOMPARE(lines[9].indexOf("MESSAGE DESCRIPTION"), 45);
    QCOMPARE(lines[10], QByteArray(80, '-') + "\r");
    QCOMPARE(lines[11], QByteArray("3/5/2002 3:04:05 PM      Switcher COM1       ^X12OK\r"));
    QCOMPARE(lines[12].mid(25), QByteArray("127.0.0.1           Client Connection Request\r"));
}

void TestRecords::noFileWhileLogIsOff() {
    CoreFixture f;
    f.Start();
    f.server->LogIPActivity("x", "a");
    QVERIFY(!f.files.Exists(CoreFixture::kLog));
    QCOMPARE(f.view.rows.size(), size_t(1));
}

void TestRecords::deletedLogIsRecreated() {
    CoreFixture f;
    f.Start();
    f.settings().LogFileOn = true;
    f.server->LogIPActivity("first", "a");
    f.files.Remove(CoreFixture::kLog);
    f.server->LogIPActivity("second", "a");
    f.server->LogIPActivity("third", "a");
    const QList<QByteArray> lines =
        QByteArray::fromStdString(f.files.files[CoreFixture::kLog]).split('\n');
    QCOMPARE(lines.size(), 14);
    QVERIFY(lines[11].contains("second"));
    QVERIFY(lines[12].contains("third"));
}

void TestRecords::logFailureReportedOnce() {
    CoreFixture f;
    f.Start();
    f.settings().LogFileOn = true;
    f.files.failAppend = true;
    for (int i = 0; i < 5; ++i) f.server->LogIPActivity("event", "a");
    QCOMPARE(f.view.rows.size(), size_t(5));
    QCOMPARE(f.view.reports.size(), size_t(1));
    QCOMPARE(f.view.reports[0].first, std::string("File Error"));
    // Once the disk works again records go on; a later failure is reported again.
    f.files.failAppend = false;
    f.server->LogIPActivity("event", "a");
    QCOMPARE(f.files.appends, 1);
    f.files.failAppend = true;
    f.server->LogIPActivity("event", "a");
    QCOMPARE(f.view.reports.size(), size_t(2));
}

void TestRecords::clearEmptiesHistoryOnly() {
    CoreFixture f;
    f.Start();
    f.settings().LogFileOn = true;
    for (int i = 0; i < 30; ++i) f.server->LogIPActivity("e", "a");
    const std::string log = f.files.files[CoreFixture::kLog];
    f.server->ClearHistory();
    QVERIFY(f.view.rows.empty());
    QVERIFY(f.server->history().Rows().empty());
    QCOMPARE(f.files.files[CoreFixture::kLog], log);
    QCOMPARE(f.view.captions[Label::CmdHistory], std::string("Command History - [25 Items]"));
}

QTEST_APPLESS_MAIN(TestRecords)
#include "tst_records.moc"
