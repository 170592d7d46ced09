#include "ui/frm_setup.h"

#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpressionValidator>
#include <iterator>

#include "ui/twips.h"

namespace qv {

namespace {
QString ComEntry(int n) {
    return QStringLiteral("Com  %1").arg(n);
}  // "Com", sign position, n
}  // namespace

frmSetup::frmSetup(Server& server, Prompts& prompts, QWidget* parent)
    : QDialog(parent), server_(server), prompts_(prompts) {
    setWindowTitle(QStringLiteral("Quorvex Setup"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::CustomizeWindowHint);
    setWindowIcon(QIcon(QStringLiteral(":/quorvex/quorvex_icon.xpm")));
    setFixedSize(Tw(6375), Tw(2745));

    auto* image = new QLabel(this);
    PlaceTw(image, 120, 240, 810, 495);
    image->setPixmap(QPixmap(QStringLiteral(":/quorvex/quorvex_logo.xpm")));
    image->setScaledContents(true);

    auto* lblComPort = new QLabel(QStringLiteral("Serial Port"), this);
    PlaceTw(lblComPort, 1080, 240, 855, 255);
    cmboComPort = new QComboBox(this);
    PlaceTw(cmboComPort, 2160, 240, 1935, 315);
    cmboComPort->setToolTip(QStringLiteral("Select Current Serial Port for Switcher"));
    auto* lblBaudRate = new QLabel(QStringLiteral("Baud Rate"), this);
    PlaceTw(lblBaudRate, 1080, 720, 855, 255);
    cmboBaudRate = new QComboBox(this);
    PlaceTw(cmboBaudRate, 2160, 720, 1935, 315);
    cmboBaudRate->setToolTip(QStringLiteral("Select Baud Rate of Serial Port"));
    auto* lblIpPort = new QLabel(QStringLiteral("IP Port"), this);
    PlaceTw(lblIpPort, 1080, 1200, 855, 255);
    txtIpPort = new QLineEdit(this);
    PlaceTw(txtIpPort, 2160, 1200, 1935, 315);
    txtIpPort->setToolTip(QStringLiteral("Select IP Port - Default is 1250"));
    txtIpPort->installEventFilter(this);
    // Pasted or dropped text must be digits too (the key filter sees typing only).
    txtIpPort->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), txtIpPort));

    auto* frmCheckBox = new QFrame(this);
    frmCheckBox->setFrameShape(QFrame::Box);
    frmCheckBox->setFrameShadow(QFrame::Sunken);
    PlaceTw(frmCheckBox, 4320, 120, 1815, 1455);
    chkStayOnTop = new QCheckBox(QStringLiteral("Stay on Top"), this);
    PlaceTw(chkStayOnTop, 4440, 360, 1455, 255);
    chkStayOnTop->setToolTip(
        QStringLiteral("Force application to remain on top of other running applications"));
    chkLogFile = new QCheckBox(QStringLiteral("Log File"), this);
    PlaceTw(chkLogFile, 4440, 720, 1335, 255);
    chkLogFile->setToolTip(QStringLiteral(
        "The Log File maintains a time stamped history of all decoded message activity"));
    chkPassThruMode = new QCheckBox(QStringLiteral("Pass Thru Mode"), this);
    PlaceTw(chkPassThruMode, 4440, 1080, 1575, 255);
    chkPassThruMode->setToolTip(QStringLiteral(
        "Pass Thru Mode disables decoding of message data for display and logging purposes"));
    connect(chkPassThruMode, &QCheckBox::clicked, this, &frmSetup::chkPassThruMode_Click);

    auto* frmHelp = new QFrame(this);
    frmHelp->setFrameShape(QFrame::Box);
    frmHelp->setFrameShadow(QFrame::Sunken);
    PlaceTw(frmHelp, 120, 1680, 3255, 855);
    auto* txtHelp = new QPlainTextEdit(frmHelp);
    PlaceTw(txtHelp, 120, 160, 2895, 615);
    txtHelp->setPlainText(
        QStringLiteral("Select Com Port, Baud Rate and IP Port\nSelect Pass Thru Mode, Log File "
                       "and \nStay on Top options"));
    txtHelp->setReadOnly(true);
    txtHelp->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtHelp->document()->setDocumentMargin(1);
    QFont helpFont = txtHelp->font();
    helpFont.setPointSizeF(7);
    txtHelp->setFont(helpFont);
    txtHelp->setFrameShape(QFrame::NoFrame);
    txtHelp->setFocusPolicy(Qt::NoFocus);
    txtHelp->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtHelp->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPalette hp = txtHelp->palette();
    hp.setColor(QPalette::Base, palette().color(QPalette::Button));
    txtHelp->setPalette(hp);

    cmdOk = new QPushButton(QStringLiteral("&Ok"), this);
    PlaceTw(cmdOk, 3720, 1920, 975, 495);
    cmdCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    PlaceTw(cmdCancel, 5160, 1920, 975, 495);
    for (QPushButton* b : {cmdOk, cmdCancel}) {
        b->setAutoDefault(false);  // neither button reacts to Enter
        b->setDefault(false);
    }
    connect(cmdOk, &QPushButton::clicked, this, &frmSetup::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmSetup::cmdCancel_Click);

    // Tab order: Cancel, Ok, baud rate, COM port, IP port, stay on top, log file, pass thru.
    setTabOrder(cmdCancel, cmdOk);
    setTabOrder(cmdOk, cmboBaudRate);
    setTabOrder(cmboBaudRate, cmboComPort);
    setTabOrder(cmboComPort, txtIpPort);
    setTabOrder(txtIpPort, chkStayOnTop);
    setTabOrder(chkStayOnTop, chkLogFile);
    setTabOrder(chkLogFile, chkPassThruMode);
    Form_Load();
    cmdCancel->setFocus();
}

void frmSetup::Form_Load() {
    const Settings& v = server_.settings();
    // A port outside the list gets an entry of its own, so OK with nothing changed keeps it.
    cmboComPort->clear();
    for (int n = 1; n <= kComPortCount; ++n) cmboComPort->addItem(ComEntry(n), n);
    if (v.SerialPort < 1 || v.SerialPort > kComPortCount)
        cmboComPort->addItem(ComEntry(v.SerialPort), int(v.SerialPort));
    cmboComPort->setCurrentIndex(cmboComPort->findData(int(v.SerialPort)));

    cmboBaudRate->clear();
    cmboBaudRate->setCurrentIndex(-1);
    for (int i = 0; i < int(std::size(kBaudRates)); ++i) {
        cmboBaudRate->addItem(QString::fromLatin1(kBaudRates[i]));
        if (v.BaudRate == kBaudRates[i]) cmboBaudRate->setCurrentIndex(i);
    }
    bool matched = false;
    for (const char* b : kBaudRates) matched |= v.BaudRate == b;
    if (!matched) cmboBaudRate->setCurrentIndex(-1);

    txtIpPort->setText(QString::number(v.TcpPort));
    if (v.LogFileOn) chkLogFile->setChecked(true);
    if (v.PassThruMode) {
        chkPassThruMode->setChecked(true);
        chkLogFile->setChecked(false);
        chkLogFile->setEnabled(false);
    }
    if (v.StayOnTopMode == kTopMost) chkStayOnTop->setChecked(true);
}

void frmSetup::chkPassThruMode_Click() {
    if (chkPassThruMode->isChecked()) {
        chkLogFile->setChecked(false);
        chkLogFile->setEnabled(false);
    } else {
        chkLogFile->setEnabled(true);
    }
}

void frmSetup::keyPressEvent(QKeyEvent* e) {
    // Neither Enter nor Esc closes the dialog.
    if (e->key() == Qt::Key_Escape || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter)
        return;
    QDialog::keyPressEvent(e);
}

bool frmSetup::eventFilter(QObject* watched, QEvent* e) {
    // The port box takes digits and backspace; every other typed character is discarded.
    if (watched == txtIpPort && e->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(e);
        const QString t = k->text();
        if (!t.isEmpty() && t.at(0).isPrint() &&
            !(t.at(0) >= QLatin1Char('0') && t.at(0) <= QLatin1Char('9')))
            return true;
    }
    return QDialog::eventFilter(watched, e);
}

void frmSetup::cmdOk_Click() {
    const Settings& v = server_.settings();
    SetupValues values;
    values.SerialPort =
        cmboComPort->currentIndex() < 0 ? Integer(0) : Integer(cmboComPort->currentData().toInt());
    // With no entry selected the baud rate stays as it is.
    values.BaudRate =
        cmboBaudRate->currentIndex() < 0 ? v.BaudRate : cmboBaudRate->currentText().toStdString();
    values.TcpPortText = txtIpPort->text().toStdString();
    values.StayOnTop = chkStayOnTop->isChecked();
    values.LogFileOn = chkLogFile->isChecked();
    values.PassThruMode = chkPassThruMode->isChecked();

    SetupChange change(server_, values);
    for (SetupChange::Question q = change.Run(); q != SetupChange::Question::None;
         q = change.Run()) {
        switch (q) {
            case SetupChange::Question::ConfirmSerialPort:
                change.Answer(prompts_.confirm(
                    this, QStringLiteral("Serial Port Change"),
                    QStringLiteral("You have selected a new Serial Port, \r\nConnection will be "
                                   "lost to any current switcher\r\nPlease Confirm")));
                break;
            case SetupChange::Question::ConfirmBaudRate:
                change.Answer(prompts_.confirm(
                    this, QStringLiteral("Serial Port Change"),
                    QStringLiteral("You have selected a new Baud Rate, \r\nThis may effect "
                                   "communication with any current switcher\r\nPlease Confirm")));
                break;
            case SetupChange::Question::BadTcpPort:
                prompts_.inform(
                    this, QStringLiteral("Port Error"),
                    QStringLiteral(
                        "Invalid IP Port #. Please reenter a number between 1 and 65535"));
                change.Answer(true);
                break;
            case SetupChange::Question::ConfirmTcpPort:
                change.Answer(prompts_.confirm(
                    this, QStringLiteral("IP Port Change"),
                    QStringLiteral("You have entered a new IP Port#\r\nThis will disconnect any "
                                   "users currently attached\r\nPlease Confirm")));
                break;
            case SetupChange::Question::None:
                break;
        }
    }
    if (change.Accepted()) accept();
}

}  // namespace qv
