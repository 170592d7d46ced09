#include "ui/frm_quorvex_about.h"

#include <QGroupBox>

#include "base/version.h"
#include "ui/twips.h"

namespace qv {

std::string VersionText() {
    return std::string("Quorvex\rVersion ") + kVersion + " - " + kVersionDate;
}

namespace {
QLabel* MakeLabel(QWidget* parent, const QString& text, int l, int t, int w, int h) {
    auto* lbl = new QLabel(text, parent);
    PlaceTw(lbl, l, t, w, h);
    return lbl;
}
}  // namespace

frmQuorvexAbout::frmQuorvexAbout(Server& server, QWidget* parent)
    : QDialog(parent), server_(server) {
    setWindowTitle(QStringLiteral("QMT Quorvex Information"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::CustomizeWindowHint);
    setFixedSize(Tw(7545), Tw(2895));

    auto* image = new QLabel(this);
    PlaceTw(image, 120, 105, 750, 435);
    image->setPixmap(QPixmap(QStringLiteral(":/quorvex/quorvex_logo.xpm")));
    image->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    QLabel* title =
        MakeLabel(this, QStringLiteral("QUILLMARK  MEDIA  TECHNOLOGIES"), 1200, 90, 3810, 240);
    QFont bold = title->font();
    bold.setBold(true);
    bold.setPointSizeF(8.5);
    title->setFont(bold);
    QLabel* address = MakeLabel(this, QStringLiteral("1200 Harbor Point Drive, Lakeview, OR 97630"),
                                1200, 300, 3810, 180);
    QLabel* contact = MakeLabel(this, QStringLiteral("(555) 010-4477     www.quillmark.example"),
                                1200, 465, 3810, 180);
    for (QLabel* l : {address, contact}) {
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, QColor(0x40, 0x40, 0x40));
        l->setPalette(p);
        QFont f = l->font();
        f.setPointSizeF(6.5);
        l->setFont(f);
    }

    auto* setup = new QGroupBox(QStringLiteral("Setup Information"), this);
    PlaceTw(setup, 120, 960, 4095, 1815);
    struct Row {
        const char* caption;
        int top;
        int captionWidth;
        int valueWidth;
        QLabel** value;
    };
    const Row rows[] = {
        {"Serial Port :", 240, 1095, 2295, &lblSerialPort},
        {"TCP/IP Port :", 480, 1095, 2295, &lblTcpPort},
        {"Stay on Top:", 720, 1095, 2295, &LblStayOnTop},
        {"Log File:", 960, 1095, 2295, &lblLogFile},
        {"Pass Thru Mode :", 1200, 1335, 2175, &lblPassThru},
        {"Max List Size :", 1440, 1095, 2295, &lblMaxListSize},
    };
    for (const Row& r : rows) {
        MakeLabel(setup, QString::fromLatin1(r.caption), 120, r.top, r.captionWidth, 255);
        *r.value =
            MakeLabel(setup, QStringLiteral("Not Specified"), 1560, r.top, r.valueWidth, 255);
    }

    auto* version = new QGroupBox(QStringLiteral("Version Information"), this);
    PlaceTw(version, 4440, 960, 2895, 975);
    lblVersionInfo = MakeLabel(version, QString(), 120, 360, 2655, 495);

    cmdAboutquit = new QPushButton(QStringLiteral("&Ok"), this);
    PlaceTw(cmdAboutquit, 4440, 2280, 2865, 495);
    connect(cmdAboutquit, &QPushButton::clicked, this, &QDialog::hide);
    cmdAboutquit->setFocus();
}

void frmQuorvexAbout::showEvent(QShowEvent* e) {
    Form_Activate();
    QDialog::showEvent(e);
}

void frmQuorvexAbout::Form_Activate() {
    const Settings& v = server_.settings();
    const auto enabled = [](bool on) { return QString::fromLatin1(on ? "Enabled" : "Disabled"); };
    lblPassThru->setText(enabled(v.PassThruMode));
    lblLogFile->setText(enabled(v.LogFileOn));
    lblMaxListSize->setText(QString::number(v.MaxListSize) + QStringLiteral(" Items"));
    lblSerialPort->setText(QStringLiteral("COM%1 (%2)")
                               .arg(v.SerialPort)
                               .arg(QString::fromStdString(server_.SerialSettingsText())));
    LblStayOnTop->setText(QString::fromLatin1(v.StayOnTopMode == kTopMost ? "True" : "False"));
    lblTcpPort->setText(QStringLiteral("Port %1").arg(v.TcpPort));
    // The version text breaks its line with a CR; a label wants a line feed.
    lblVersionInfo->setText(
        QString::fromStdString(VersionText()).replace(QLatin1Char('\r'), QLatin1Char('\n')));
}

}  // namespace qv
