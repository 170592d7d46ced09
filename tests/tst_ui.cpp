// The operator's window and dialogs on the offscreen platform, over the core on fakes.
// Confirmations are answered by the test.
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QtTest>
#include <algorithm>
#include <deque>
#include <memory>
#include <optional>

#include "fakes.h"
#include "ini_text.h"
#include "ui/frm_change_password.h"
#include "ui/frm_quorvex.h"
#include "ui/frm_quorvex_about.h"
#include "ui/frm_setup.h"

using namespace qv;
using namespace qv::test;

namespace {

struct UiFixture : FakePlatform {
    frmQuorvex window;
    std::deque<bool> answers;  // to the confirmations, in order; OK when none is left
    QStringList confirms, confirmTexts, informs, informTexts;

    // Without over there is no settings file; with it, IniText(over).
    explicit UiFixture(std::optional<IniKeys> over = {}) {
        if (over) files.files[kIni] = IniText(*over);
        MakeServer(window);
        Server& s = *server;
        window.Attach(s);
        window.prompts().confirm = [this](QWidget*, const QString& title, const QString& text) {
            confirms << title;
            confirmTexts << text;
            if (answers.empty()) return true;
            const bool a = answers.front();
            answers.pop_front();
            return a;
        };
        window.prompts().inform = [this](QWidget*, const QString& title, const QString& text) {
            informs << title;
            informTexts << text;
        };
        s.Start();
        serial.calls.clear();
        sockets.calls.clear();
    }
    QList<QMessageBox*> Boxes() {
        QList<QMessageBox*> boxes;
        for (QMessageBox* b : window.findChildren<QMessageBox*>())
            if (b->isVisible()) boxes << b;
        return boxes;
    }
};

}  // namespace

class TestUi : public QObject {
    Q_OBJECT
  private slots:
    void mainWindowAtLoad();
    void setupOkWithNothingChanged();
    void setupBaudRateOnly();
    void setupPortAndBaudRate();
    void setupCancelInAConfirmation_data();
    void setupCancelInAConfirmation();
    void setupPortThatCannotOpen();
    void setupTcpPortTexts_data();
    void setupTcpPortTexts();
    void setupPortBoxKeyFilter();
    void setupPassThroughCoupling();
    void setupUnusualStoredValues();
    void changePassword();
    void aboutRefreshesOnEveryShow();
    void dialogBracketAndStayOnTop();
    void clearList();
    void lampsAndHistory();
    void reportsAreNonBlockingAndNotDoubled();
    void closingRunsShutDownOnce();
    void menuCaptionsOrderAndAccessKeys();
    void dialogFocusAndTabOrder();
    void enterAndEscDoNothing_data();
    void enterAndEscDoNothing();
    void setupConfirmationTexts();
    void setupListenerThatCannotMove();
    void setupPortBoxRefusesPastedText();
    void passwordMaskAndRefusalText();
    void aboutRows();
    void reportUnderADialogAnswers();
    void stayOnTopKeepsTheWindowMapped();
    void historyFollowsOnlyAtTheBottom();
};

void TestUi::mainWindowAtLoad() {
    UiFixture f;
    QCOMPARE(f.window.windowTitle(), QString("QMT Quorvex"));
    QCOMPARE(f.window.Caption(Label::CmdHistory), QString("Command History - [25 Items]"));
    QCOMPARE(f.window.Caption(Label::SerialStatus),
             QString("Router Serial Activity [COM 1 - 9600 Baud]"));
    QCOMPARE(f.window.Caption(Label::RcvMsg), QString("Processing TCP/IP Message [Port 1250]"));
    QCOMPARE(f.window.StatusPanel(1), QString("Client Connections: 0000"));
    QCOMPARE(f.window.StatusPanel(2), QString("Log File: OFF"));
    QCOMPARE(f.window.StatusPanel(3), QString("Pass Thru Mode: OFF"));
    QVERIFY(!f.window.StatusPanel(4).isEmpty());
    QCOMPARE(f.window.History()->columnCount(), 2);
    QCOMPARE(f.window.History()->headerItem()->text(0), QString("Client Address"));
    QCOMPARE(f.window.History()->headerItem()->text(1), QString("Message Description"));
    QVERIFY(f.window.IsTopMost());
    QCOMPARE(f.window.LampColour(Lamp::Serial), kColourRed);
    QVERIFY(f.window.minimumSize() == f.window.maximumSize());  // fixed size
}

void TestUi::setupOkWithNothingChanged() {
    UiFixture f;
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    d.chkLogFile->setChecked(true);
    d.chkStayOnTop->setChecked(false);
    d.cmdOk_Click();
    QVERIFY(f.confirms.isEmpty() && f.informs.isEmpty());
    QVERIFY(f.serial.calls.empty());
    QVERIFY(f.sockets.calls.empty());
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QVERIFY(f.settings().LogFileOn);
    QCOMPARE(f.settings().StayOnTopMode, kNotTopMost);
    QCOMPARE(f.window.StatusPanel(2), QString("Log File: ON"));
    QCOMPARE(f.window.StatusPanel(3), QString("Pass Thru Mode: OFF "));
}

void TestUi::setupBaudRateOnly() {
    UiFixture f;
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    d.cmboBaudRate->setCurrentText("19200");
    d.cmdOk_Click();
    QCOMPARE(f.confirms, QStringList{"Serial Port Change"});
    QVERIFY(f.confirmTexts[0].startsWith("You have selected a new Baud Rate, \r\n"));
    QCOMPARE(f.serial.calls,
             (std::vector<std::string>{"close", "settings 19200,n,8,1", "port 1", "open"}));
    QCOMPARE(f.window.Caption(Label::SerialStatus),
             QString("Router Serial Activity [COM 1 - 19200 Baud]"));
    QCOMPARE(d.result(), int(QDialog::Accepted));
}

void TestUi::setupPortAndBaudRate() {
    UiFixture f;
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    d.cmboComPort->setCurrentIndex(2);  // COM 3
    d.cmboBaudRate->setCurrentText("38400");
    d.cmdOk_Click();
    QCOMPARE(f.confirms, (QStringList{"Serial Port Change", "Serial Port Change"}));
    QVERIFY(f.confirmTexts[0].startsWith("You have selected a new Serial Port, \r\n"));
    QVERIFY(f.confirmTexts[1].startsWith("You have selected a new Baud Rate, \r\n"));
    QCOMPARE(f.serial.calls,
             (std::vector<std::string>{"close", "settings 38400,n,8,1", "port 3", "open"}));
    QCOMPARE(f.settings().SerialPort, Integer(3));
}

void TestUi::setupCancelInAConfirmation_data() {
    QTest::addColumn<int>("okFirst");
    QTest::newRow("cancel the port change") << 0;
    QTest::newRow("cancel the baud-rate change") << 1;
}

void TestUi::setupCancelInAConfirmation() {
    QFETCH(int, okFirst);
    UiFixture f;
    if (okFirst)
        f.answers = {true, false};
    else
        f.answers = {false};
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    d.cmboComPort->setCurrentIndex(1);
    d.cmboBaudRate->setCurrentText("2400");
    d.chkLogFile->setChecked(true);
    d.cmdOk_Click();
    QCOMPARE(f.confirms.size(), okFirst + 1);
    QCOMPARE(f.settings().SerialPort, Integer(1));
    QCOMPARE(f.settings().BaudRate, std::string("9600"));
    QVERIFY(!f.settings().LogFileOn);
    QVERIFY(f.serial.calls.empty());
    QCOMPARE(d.result(), int(QDialog::Rejected));  // still open: nothing accepted it
}

void TestUi::setupPortThatCannotOpen() {
    UiFixture f;
    f.serial.failingPorts = {3};
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    d.cmboComPort->setCurrentIndex(2);
    d.cmdOk_Click();
    const auto boxes = f.Boxes();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0]->windowTitle(), QString("Server Error"));
    QVERIFY(boxes[0]->text().startsWith("Switcher Server Error\n\nError #  8002 - "));
    QCOMPARE(f.settings().SerialPort, Integer(1));
    QVERIFY(!f.serial.open);
    QCOMPARE(d.result(), int(QDialog::Rejected));
    d.cmdOk_Click();  // asks again about the port change
    QCOMPARE(f.confirms, (QStringList{"Serial Port Change", "Serial Port Change"}));
}

void TestUi::setupTcpPortTexts_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("outcome");  // "range", "move", "overflow"
    QTest::newRow("empty") << ""
                           << "range";
    QTest::newRow("0") << "0"
                       << "range";
    QTest::newRow("65536") << "65536"
                           << "range";
    QTest::newRow("1") << "1"
                       << "move";
    QTest::newRow("65535") << "65535"
                           << "move";
    QTest::newRow("eleven nines") << "99999999999"
                                  << "overflow";
}

void TestUi::setupTcpPortTexts() {
    QFETCH(QString, text);
    QFETCH(QString, outcome);
    UiFixture f;
    f.sockets.Connect("10.0.0.1");
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    d.txtIpPort->setText(text);
    d.cmdOk_Click();
    if (outcome == "range") {
        QCOMPARE(f.informs, QStringList{"Port Error"});
        QCOMPARE(f.informTexts[0],
                 QString("Invalid IP Port #. Please reenter a number between 1 and 65535"));
        QCOMPARE(d.result(), int(QDialog::Rejected));
        QCOMPARE(f.settings().TcpPort, Long(1250));
    } else if (outcome == "move") {
        QCOMPARE(f.confirms, QStringList{"IP Port Change"});
        QCOMPARE(f.sockets.calls.front(), "move " + text.toStdString());
        QCOMPARE(f.sockets.listenPort, Long(text.toInt()));
        QCOMPARE(f.settings().TcpPort, Long(text.toInt()));
        QVERIFY(f.sockets.elements.empty());  // every client was disconnected
        QCOMPARE(f.window.Caption(Label::RcvMsg), "Processing TCP/IP Message [Port " + text + "]");
        QCOMPARE(d.result(), int(QDialog::Accepted));
    } else {
        const auto boxes = f.Boxes();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0]->windowTitle(), QString("Server Error"));
        QVERIFY(boxes[0]->text().startsWith("Invalid IP Port  Error\n\nError #  6 - Overflow"));
        QCOMPARE(d.result(), int(QDialog::Rejected));
    }
}

void TestUi::setupPortBoxKeyFilter() {
    UiFixture f;
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    d.txtIpPort->clear();
    QTest::keyClicks(d.txtIpPort, "1a/2 x3");
    QCOMPARE(d.txtIpPort->text(), QString("123"));
    QTest::keyClick(d.txtIpPort, Qt::Key_Backspace);
    QCOMPARE(d.txtIpPort->text(), QString("12"));
}

void TestUi::setupPassThroughCoupling() {
    UiFixture f(IniKeys{{"Maintain Log File", "Yes"}});
    {
        frmSetup d(*f.server, f.window.prompts(), &f.window);
        QVERIFY(d.chkLogFile->isChecked() && d.chkLogFile->isEnabled());
        QTest::mouseClick(d.chkPassThruMode, Qt::LeftButton, {},
                          QPoint(5, d.chkPassThruMode->height() / 2));
        QVERIFY(d.chkPassThruMode->isChecked());
        QVERIFY(!d.chkLogFile->isChecked() && !d.chkLogFile->isEnabled());
        d.cmdOk_Click();
        QVERIFY(!f.settings().LogFileOn && f.settings().PassThruMode);
        QCOMPARE(f.window.StatusPanel(2), QString("Log File: OFF"));
        QCOMPARE(f.window.StatusPanel(3), QString("Pass Thru Mode: ON "));
    }
    f.settings().LogFileOn = true;  // whatever it holds, pass-through at load greys it
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    QVERIFY(d.chkPassThruMode->isChecked());
    QVERIFY(!d.chkLogFile->isChecked() && !d.chkLogFile->isEnabled());
    QTest::mouseClick(d.chkPassThruMode, Qt::LeftButton, {},
                      QPoint(5, d.chkPassThruMode->height() / 2));
    QVERIFY(d.chkLogFile->isEnabled() && !d.chkLogFile->isChecked());
}

void TestUi::setupUnusualStoredValues() {
    // A baud rate outside the list: nothing selected, and OK keeps it without asking.
    UiFixture f(IniKeys{{"Serial Port", "20"}, {"Baud Rate", "4800"}});
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    QCOMPARE(d.cmboBaudRate->currentIndex(), -1);
    QCOMPARE(d.cmboComPort->count(), 17);  // COM 20 gets an entry of its own
    QCOMPARE(d.cmboComPort->currentText(), QString("Com  20"));
    QCOMPARE(d.cmboComPort->itemText(0), QString("Com  1"));
    d.cmdOk_Click();
    QVERIFY(f.confirms.isEmpty());
    QCOMPARE(f.settings().BaudRate, std::string("4800"));
    QCOMPARE(f.settings().SerialPort, Integer(20));
}

void TestUi::changePassword() {
    UiFixture f(IniKeys{{"Password", "bdf"}});
    QCOMPARE(f.settings().Password, std::string("abc"));
    {
        frmChangePassword d(*f.server, f.window.prompts(), &f.window);
        QCOMPARE(d.txtOldPassword->echoMode(), QLineEdit::Password);
        d.txtOldPassword->setText("ABC");
        d.txtNewPassword->setText("new");
        d.cmdOk_Click();
        QCOMPARE(f.informs, QStringList{"Password Error"});
        QCOMPARE(f.informTexts[0], QString("Existing password invalid.  Please try again"));
        QCOMPARE(d.focusWidget(), d.txtOldPassword);
        QCOMPARE(d.txtOldPassword->text(), QString("ABC"));
        QCOMPARE(f.settings().Password, std::string("abc"));
        d.cmdCancel_Click();
        QCOMPARE(f.settings().Password, std::string("abc"));
    }
    {
        frmChangePassword d(*f.server, f.window.prompts(), &f.window);
        d.txtOldPassword->setText("abc");
        d.txtNewPassword->setText(QString(QChar(0xFF)));  // cannot be stored
        d.cmdOk_Click();
        QCOMPARE(f.informs.size(), 2);
        QCOMPARE(f.settings().Password, std::string("abc"));
        QCOMPARE(d.result(), int(QDialog::Rejected));
    }
    frmChangePassword d(*f.server, f.window.prompts(), &f.window);
    d.txtOldPassword->setText("abc");
    d.cmdOk_Click();  // an empty new password
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QVERIFY(f.settings().Password.empty());
    QVERIFY(f.files.files["/app/quorvex.ini"].find("Password=\r\n") != std::string::npos);
    f.sockets.Connect("10.0.0.1");  // logged in on connection from now on
    QCOMPARE(f.sockets.TakeOut(1), std::string("Login Sucessful\r\n"));
}

void TestUi::aboutRefreshesOnEveryShow() {
    UiFixture f;
    frmQuorvexAbout a(*f.server, &f.window);
    a.show();
    QCOMPARE(a.lblSerialPort->text(), QString("COM1 (9600,n,8,1)"));
    QCOMPARE(a.lblTcpPort->text(), QString("Port 1250"));
    QCOMPARE(a.LblStayOnTop->text(), QString("True"));
    QCOMPARE(a.lblLogFile->text(), QString("Disabled"));
    QCOMPARE(a.lblPassThru->text(), QString("Disabled"));
    QCOMPARE(a.lblMaxListSize->text(), QString("25 Items"));
    QCOMPARE(a.lblVersionInfo->text(), QString("Quorvex\nVersion 2.02 - 02/28/02"));
    QTest::mouseClick(a.cmdAboutquit, Qt::LeftButton);
    QVERIFY(!a.isVisible());
    f.settings().TcpPort = 4321;
    f.settings().StayOnTopMode = kNotTopMost;
    f.settings().PassThruMode = true;
    a.show();
    QCOMPARE(a.lblTcpPort->text(), QString("Port 4321"));
    QCOMPARE(a.LblStayOnTop->text(), QString("False"));
    QCOMPARE(a.lblPassThru->text(), QString("Enabled"));
}

void TestUi::dialogBracketAndStayOnTop() {
    UiFixture f;
    f.window.show();
    QVERIFY(f.window.IsTopMost());
    bool topDuring = true;
    f.window.onDialogShown = [&](QDialog* d) {
        topDuring = f.window.IsTopMost();
        d->hide();
    };
    f.window.mnuAbout_Click();
    QVERIFY(!topDuring);
    QVERIFY(f.window.IsTopMost());
    QVERIFY(f.window.About() != nullptr);  // kept for the next time

    // Turning stay-on-top off in Setup takes effect when the dialog has closed.
    f.window.onDialogShown = [&](QDialog* d) {
        auto* setup = static_cast<frmSetup*>(d);
        setup->chkStayOnTop->setChecked(false);
        setup->cmdOk_Click();
    };
    f.window.mnuSetup_Click();
    QVERIFY(!f.window.IsTopMost());
    f.window.onDialogShown = [&](QDialog* d) {
        static_cast<frmChangePassword*>(d)->cmdCancel_Click();
    };
    f.window.mnuChangePassword_Click();
    QVERIFY(!f.window.IsTopMost());
}

void TestUi::clearList() {
    UiFixture f;
    f.window.cmdClearList_Click();
    QCOMPARE(f.window.History()->topLevelItemCount(), 0);
    for (int i = 1; i <= 30; ++i) f.server->LogIPActivity("event " + std::to_string(i), "10.0.0.1");
    QCOMPARE(f.window.History()->topLevelItemCount(), 25);
    QCOMPARE(f.window.History()->topLevelItem(0)->text(1), QString("event 6"));
    QCOMPARE(f.window.History()->topLevelItem(24)->text(0), QString("10.0.0.1"));
    f.window.cmdClearList_Click();
    QCOMPARE(f.window.History()->topLevelItemCount(), 0);
    QCOMPARE(f.window.Caption(Label::CmdHistory), QString("Command History - [25 Items]"));
    f.server->LogIPActivity("after", "10.0.0.1");
    QCOMPARE(f.window.History()->topLevelItemCount(), 1);
}

void TestUi::lampsAndHistory() {
    UiFixture f;
    f.sched.Advance(2000);  // the design-time lamp periods are over
    f.sockets.Connect("10.0.0.1");
    QCOMPARE(f.window.LampColour(Lamp::Network), kColourGreen);
    f.sched.Advance(499);
    QCOMPARE(f.window.LampColour(Lamp::Network), kColourGreen);
    f.sched.Advance(1);
    QCOMPARE(f.window.LampColour(Lamp::Network), kColourRed);
    f.serial.Feed("OK\r\n");
    QCOMPARE(f.window.LampColour(Lamp::Serial), kColourGreen);
    f.sched.Advance(500);
    QCOMPARE(f.window.LampColour(Lamp::Serial), kColourRed);
    QCOMPARE(f.window.StatusPanel(1), QString("Client Connections: 0001"));
    QCOMPARE(f.window.History()->topLevelItem(1)->text(0), QString("Switcher COM1"));
    QCOMPARE(f.window.History()->topLevelItem(1)->text(1), QString("OK"));
}

void TestUi::reportsAreNonBlockingAndNotDoubled() {
    UiFixture f;
    f.window.Report("Serial Send Error",
                    "Error Sending Message to serial port\r\rError #  8012 - x");
    f.window.Report("Serial Send Error",
                    "Error Sending Message to serial port\r\rError #  8012 - x");
    QCOMPARE(f.Boxes().size(), 1);
    QCOMPARE(f.Boxes()[0]->icon(), QMessageBox::Critical);
    f.window.Report("File Error", "Error Writing quorvex.ini file\r\rError #  28 - y");
    QCOMPARE(f.Boxes().size(), 2);
    QPointer<QMessageBox> closed = f.Boxes()[0];
    closed->close();
    QVERIFY(QTest::qWaitFor([&] { return closed.isNull(); }));  // deleted later
    f.window.Report("Serial Send Error",
                    "Error Sending Message to serial port\r\rError #  8012 - x");
    QCOMPARE(f.Boxes().size(), 2);
}

void TestUi::closingRunsShutDownOnce() {
    UiFixture f;
    f.window.show();
    f.sockets.Connect("10.0.0.1");
    f.window.mnuExit_Click();
    f.window.close();  // a second close finds the shut-down done
    QVERIFY(!f.window.isVisible());
    QCOMPARE(f.files.writes, 1);
    QVERIFY(f.files.Exists("/app/quorvex.ini"));
    QVERIFY(!f.serial.open);
    QVERIFY(!f.sockets.listening);
    int disconnects = 0;
    for (int i = 0; i < f.window.History()->topLevelItemCount(); ++i)
        disconnects += f.window.History()->topLevelItem(i)->text(1) == "Client Disconnect";
    QCOMPARE(disconnects, 1);
}

void TestUi::menuCaptionsOrderAndAccessKeys() {
    UiFixture f;
    QStringList shown;  // every entry in order, "-" for a separator
    for (QAction* menu : f.window.menuBar()->actions()) {
        shown << menu->text() + ":";
        for (QAction* a : menu->menu()->actions()) shown << (a->isSeparator() ? "-" : a->text());
    }
    QCOMPARE(shown, (QStringList{"&File:", "&Disconnect All Clients", "-", "&Setup", "-",
                                 "Change Password", "-", "E&xit", "&Help:", "&About"}));
}

namespace {
// The widgets Tab visits from the focus the dialog opens with, back to it.
QList<QWidget*> TabCycle(QDialog& d) {
    d.show();
    d.activateWindow();
    if (!QTest::qWaitForWindowActive(&d)) return {};
    QList<QWidget*> seen{QApplication::focusWidget()};
    for (int i = 0; i < 20; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (QApplication::focusWidget() == seen.front()) break;
        seen << QApplication::focusWidget();
    }
    return seen;
}
}  // namespace

void TestUi::dialogFocusAndTabOrder() {
    UiFixture f;
    {
        frmSetup d(*f.server, f.window.prompts(), &f.window);
        QCOMPARE(TabCycle(d),
                 (QList<QWidget*>{d.cmdCancel, d.cmdOk, d.cmboBaudRate, d.cmboComPort, d.txtIpPort,
                                  d.chkStayOnTop, d.chkLogFile, d.chkPassThruMode}));
    }
    frmChangePassword d(*f.server, f.window.prompts(), &f.window);
    QCOMPARE(TabCycle(d),
             (QList<QWidget*>{d.cmdOk, d.cmdCancel, d.txtOldPassword, d.txtNewPassword}));
}

void TestUi::enterAndEscDoNothing_data() {
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<QString>("focus");
    for (const char* dialog : {"setup", "password"})
        for (const char* focus : {"ok", "cancel", "text"})
            QTest::newRow(QByteArray(dialog) + " " + focus) << dialog << focus;
}

void TestUi::enterAndEscDoNothing() {
    QFETCH(QString, dialog);
    QFETCH(QString, focus);
    UiFixture f(IniKeys{{"Password", ""}});
    std::unique_ptr<QDialog> d;
    QWidget* target = nullptr;
    if (dialog == "setup") {
        auto* s = new frmSetup(*f.server, f.window.prompts(), &f.window);
        target = focus == "ok"       ? s->cmdOk
                 : focus == "cancel" ? static_cast<QWidget*>(s->cmdCancel)
                                     : s->txtIpPort;
        d.reset(s);
    } else {
        auto* c = new frmChangePassword(*f.server, f.window.prompts(), &f.window);
        target = focus == "ok"       ? c->cmdOk
                 : focus == "cancel" ? static_cast<QWidget*>(c->cmdCancel)
                                     : c->txtOldPassword;
        d.reset(c);
    }
    d->show();
    d->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(d.get()));
    target->setFocus();
    const int writes = f.files.writes;
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
        QTest::keyClick(d->windowHandle(), key);  // as the platform delivers it
    QVERIFY(d->isVisible());
    QCOMPARE(d->result(), int(QDialog::Rejected));
    QVERIFY(f.confirms.isEmpty() && f.informs.isEmpty());
    QCOMPARE(f.files.writes, writes);  // an OK of Change Password would write the settings
    QTest::keyClick(d->windowHandle(), Qt::Key_Space);  // a button still takes Space
    if (focus == "cancel") QVERIFY(!d->isVisible());
}

void TestUi::setupConfirmationTexts() {
    UiFixture f;
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    d.cmboComPort->setCurrentIndex(1);
    d.cmboBaudRate->setCurrentText("2400");
    d.txtIpPort->setText("4000");
    d.cmdOk_Click();
    QCOMPARE(f.confirms,
             (QStringList{"Serial Port Change", "Serial Port Change", "IP Port Change"}));
    QCOMPARE(f.confirmTexts,
             (QStringList{"You have selected a new Serial Port, \r\nConnection will be lost to any "
                          "current switcher\r\nPlease Confirm",
                          "You have selected a new Baud Rate, \r\nThis may effect communication "
                          "with any current switcher\r\nPlease Confirm",
                          "You have entered a new IP Port#\r\nThis will disconnect any users "
                          "currently attached\r\nPlease Confirm"}));
    QCOMPARE(d.result(), int(QDialog::Accepted));
}

void TestUi::setupListenerThatCannotMove() {
    UiFixture f;
    f.sockets.failListen = true;
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    d.txtIpPort->setText("4000");
    d.cmdOk_Click();
    const auto boxes = f.Boxes();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0]->windowTitle(), QString("Server Error"));
    QCOMPARE(boxes[0]->icon(), QMessageBox::Critical);
    QCOMPARE(boxes[0]->text(), QString("IP Port Error\n\nError #  24048 - Address in use"));
    QCOMPARE(f.settings().TcpPort, Long(4000));    // the new value stays
    QCOMPARE(d.result(), int(QDialog::Accepted));  // and the dialog closes
}

void TestUi::setupPortBoxRefusesPastedText() {
    UiFixture f;
    frmSetup d(*f.server, f.window.prompts(), &f.window);
    d.txtIpPort->clear();
    for (const char* pasted : {"12ab", "1 2", "-5", "3.5"}) {
        d.txtIpPort->insert(QString::fromLatin1(pasted));  // what a paste or a drop does
        QCOMPARE(d.txtIpPort->text(), QString());
    }
    d.txtIpPort->insert("4000");
    QCOMPARE(d.txtIpPort->text(), QString("4000"));
}

void TestUi::passwordMaskAndRefusalText() {
    UiFixture f(IniKeys{{"Password", "bdf"}});
    frmChangePassword d(*f.server, f.window.prompts(), &f.window);
    d.txtOldPassword->setText("abc");
    d.txtNewPassword->setText("xy");
    QCOMPARE(d.txtOldPassword->displayText(), QString("***"));
    QCOMPARE(d.txtNewPassword->displayText(), QString("**"));
    const QString tail =
        "Letters, digits, punctuation and blanks of plain ASCII, up to 129 characters, can "
        "always be stored";
    struct Case {
        QString typed, says;
    };
    const Case cases[] = {
        {QString("ab") + QChar(0x3A9) + "c",  // outside Latin-1
         "The new password cannot be stored.  Its character 3 (\"" + QString(QChar(0x3A9)) +
             "\" code 937) cannot be kept in quorvex.ini.  " + tail},
        {QString("a") + QChar(0xFF), "The new password cannot be stored.  Its character 2 (\"" +
                                         QString(QChar(0xFF)) +
                                         "\" code 255) cannot be kept in quorvex.ini.  " + tail},
        {"a\x0b",
         "The new password cannot be stored.  Its character 2 (code 11) cannot be kept in "
         "quorvex.ini.  " +
             tail},  // stored as CR
        {QString(130, '~'),
         "The new password cannot be stored.  Its character 130 (\"~\" code "
         "126) cannot be kept in quorvex.ini.  " +
             tail},
    };
    for (const Case& c : cases) {
        f.informTexts.clear();
        d.txtNewPassword->setText(c.typed);
        d.cmdOk_Click();
        QCOMPARE(f.informTexts, QStringList{c.says});
        QCOMPARE(f.settings().Password, std::string("abc"));
    }
    d.txtNewPassword->setText(QString(129, '~'));  // the longest that always fits
    d.cmdOk_Click();
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(f.settings().Password, std::string(129, '~'));
}

void TestUi::aboutRows() {
    UiFixture f;
    frmQuorvexAbout a(*f.server, &f.window);
    QCOMPARE(a.windowTitle(), QString("QMT Quorvex Information"));
    QCOMPARE(a.cmdAboutquit->text(), QString("&Ok"));
    QGroupBox* setup = nullptr;
    QStringList frames;
    for (QGroupBox* g : a.findChildren<QGroupBox*>()) {
        frames << g->title();
        if (g->title() == "Setup Information") setup = g;
    }
    frames.sort();
    QCOMPARE(frames, (QStringList{"Setup Information", "Version Information"}));
    QVERIFY(setup);
    a.show();
    // Each row: the caption on the left, its value beside it on the same line.
    QList<QLabel*> labels = setup->findChildren<QLabel*>();
    std::sort(labels.begin(), labels.end(), [](QLabel* x, QLabel* y) {
        return std::pair(x->y(), x->x()) < std::pair(y->y(), y->x());
    });
    QStringList rows;
    for (int i = 0; i + 1 < labels.size(); i += 2) {
        QCOMPARE(labels[i]->y(), labels[i + 1]->y());
        rows << labels[i]->text() + "|" + labels[i + 1]->text();
    }
    QCOMPARE(labels.size(), 12);
    QCOMPARE(rows, (QStringList{"Serial Port :|COM1 (9600,n,8,1)", "TCP/IP Port :|Port 1250",
                                "Stay on Top:|True", "Log File:|Disabled",
                                "Pass Thru Mode :|Disabled", "Max List Size :|25 Items"}));
}

void TestUi::reportUnderADialogAnswers() {
    UiFixture f;
    f.serial.failingPorts = {3};
    f.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    bool setupOpenAfter = false;
    QString title;
    f.window.onDialogShown = [&](QDialog* d) {
        auto* setup = static_cast<frmSetup*>(d);
        setup->cmboComPort->setCurrentIndex(2);
        setup->cmdOk_Click();  // the port cannot open: the error box comes up
        const auto boxes = f.Boxes();
        if (boxes.size() == 1) {
            QPointer<QMessageBox> box = boxes[0];
            title = box->windowTitle();
            // A key as the platform delivers it: a box blocked by the dialog would not get it.
            QTest::keyClick(box->windowHandle(), Qt::Key_Return);
            (void)QTest::qWaitFor([&] { return box.isNull(); });
            setupOpenAfter = box.isNull() && setup->isVisible();
        }
        setup->cmdCancel_Click();
    };
    f.window.mnuSetup_Click();
    QCOMPARE(title, QString("Server Error"));
    QVERIFY(setupOpenAfter);
    // With no dialog open the box still leaves the window free.
    f.window.Report("Serial Send Error",
                    "Error Sending Message to serial port\r\rError #  8012 - x");
    QCOMPARE(f.Boxes().size(), 1);
    QVERIFY(!f.Boxes()[0]->isModal());
}

void TestUi::stayOnTopKeepsTheWindowMapped() {
    UiFixture f;
    f.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    const WId id = f.window.winId();
    int hides = 0;
    struct Counter : QObject {
        int* n;
        explicit Counter(int* c) : n(c) {}
        bool eventFilter(QObject*, QEvent* e) override {
            *n += e->type() == QEvent::Hide;
            return false;
        }
    } counter(&hides);
    f.window.installEventFilter(&counter);
    f.window.onDialogShown = [&](QDialog* d) {
        auto* setup = static_cast<frmSetup*>(d);
        setup->chkStayOnTop->setChecked(!setup->chkStayOnTop->isChecked());
        setup->cmdOk_Click();
    };
    f.window.mnuSetup_Click();  // off
    QVERIFY(!f.window.IsTopMost());
    QVERIFY(!f.window.windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint));
    f.window.mnuSetup_Click();  // on again
    QVERIFY(f.window.IsTopMost());
    QVERIFY(f.window.windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(hides, 0);
    QVERIFY(f.window.isVisible());
    QCOMPARE(f.window.winId(), id);  // the same native window all along
}

void TestUi::historyFollowsOnlyAtTheBottom() {
    UiFixture f;
    f.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    QTreeWidget* list = f.window.History();
    const auto topText = [list] { return list->itemAt(0, 0)->text(1); };
    const auto newestInView = [list] {
        const QRect r = list->visualItemRect(list->topLevelItem(list->topLevelItemCount() - 1));
        return list->viewport()->rect().contains(r);
    };
    int n = 0;
    const auto add = [&](int count) {
        for (int i = 0; i < count; ++i)
            f.server->LogIPActivity("event " + std::to_string(++n), "10.0.0.1");
    };
    add(25);  // a full list, far more than the view shows
    QVERIFY(newestInView());
    list->scrollToItem(list->topLevelItem(10), QAbstractItemView::PositionAtTop);
    QCOMPARE(topText(), QString("event 11"));
    add(3);  // the oldest three go; the rows in view stay
    QCOMPARE(list->topLevelItemCount(), 25);
    QCOMPARE(list->topLevelItem(0)->text(1), QString("event 4"));
    QCOMPARE(topText(), QString("event 11"));
    QVERIFY(!newestInView());
    list->scrollToBottom();
    add(2);
    QVERIFY(newestInView());
    QCOMPARE(list->topLevelItem(24)->text(1), QString("event 30"));
}

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
