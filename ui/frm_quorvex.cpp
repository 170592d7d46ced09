#include "ui/frm_quorvex.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollBar>
#include <QStatusBar>
#include <QTime>
#include <QWindow>

#include "ui/frm_change_password.h"
#include "ui/frm_quorvex_about.h"
#include "ui/frm_setup.h"
#include "ui/twips.h"

// The artwork lives in a static library: its resources are registered by hand.
static void InitArt() {
    Q_INIT_RESOURCE(art);
}

namespace qv {

namespace {
constexpr int kClientWidthTw = 6150;
constexpr int kClientHeightTw = 3195;
constexpr int kStatusBarHeightTw = 255;
constexpr int kClockRefreshMs = 1000;

QString Latin1(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}
}  // namespace

frmQuorvex::frmQuorvex(QWidget* parent) : QMainWindow(parent) {
    InitArt();
    setWindowTitle(QStringLiteral("QMT Quorvex"));
    setWindowIcon(QIcon(QStringLiteral(":/quorvex/quorvex_icon.xpm")));
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);

    auto* central = new QWidget(this);
    setCentralWidget(central);

    lblCmdHistory_ = new QLabel(QStringLiteral(" Command History"), central);
    PlaceTw(lblCmdHistory_, 80, 120, 5950, 255);
    lblCmdHistory_->setAutoFillBackground(true);
    QPalette pal = lblCmdHistory_->palette();
    pal.setColor(QPalette::Window, palette().color(QPalette::Dark));
    pal.setColor(QPalette::WindowText, palette().color(QPalette::Light));
    lblCmdHistory_->setPalette(pal);
    QFont titleFont = lblCmdHistory_->font();
    titleFont.setPointSizeF(9.75);
    lblCmdHistory_->setFont(titleFont);

    cmdClearList_ = new QPushButton(QStringLiteral("Clear"), central);
    cmdClearList_->setToolTip(QStringLiteral("Clear Command History"));
    PlaceTw(cmdClearList_, 5496, 145, 516, 200);
    QFont small = cmdClearList_->font();
    small.setPointSizeF(7);
    cmdClearList_->setFont(small);
    cmdClearList_->setFocusPolicy(Qt::TabFocus);
    connect(cmdClearList_, &QPushButton::clicked, this, &frmQuorvex::cmdClearList_Click);

    lstCmdHistory_ = new QTreeWidget(central);
    PlaceTw(lstCmdHistory_, 60, 360, 6000, 1665);
    lstCmdHistory_->setColumnCount(2);
    lstCmdHistory_->setHeaderLabels(
        {QStringLiteral("Client Address"), QStringLiteral("Message Description")});
    lstCmdHistory_->setRootIsDecorated(false);
    lstCmdHistory_->setUniformRowHeights(true);
    lstCmdHistory_->setSelectionBehavior(QAbstractItemView::SelectRows);
    lstCmdHistory_->header()->setStretchLastSection(false);
    lstCmdHistory_->setColumnWidth(0, Tw(1600));
    lstCmdHistory_->setColumnWidth(1, Tw(4000));

    frame1_ = new QGroupBox(QStringLiteral("Status Information"), central);
    PlaceTw(frame1_, 60, 2160, 6000, 765);
    shpSerialStatus_ = new LampWidget(frame1_);
    PlaceTw(shpSerialStatus_, 120, 270, 135, 135);
    lblSerialStatus_ = new QLabel(QStringLiteral("Router Serial Connection"), frame1_);
    PlaceTw(lblSerialStatus_, 345, 240, 4095, 195);
    shpRcvMsg_ = new LampWidget(frame1_);
    PlaceTw(shpRcvMsg_, 120, 510, 135, 135);
    lblRcvMsg_ = new QLabel(QStringLiteral("Processing Network Message"), frame1_);
    PlaceTw(lblRcvMsg_, 345, 465, 4215, 195);

    const char* const design[4] = {"Client Connections: 0000", "Log File: OFF",
                                   "Pass Thru Mode: OFF", ""};
    const int widths[4] = {2325, 1200, 1650, 900};
    for (int i = 0; i < 4; ++i) {
        panels_[i] = new QLabel(QString::fromLatin1(design[i]), this);
        panels_[i]->setFrameShape(QFrame::Panel);
        panels_[i]->setFrameShadow(QFrame::Sunken);
        QFont pf = panels_[i]->font();
        pf.setPointSizeF(7);
        panels_[i]->setFont(pf);
        panels_[i]->setMinimumWidth(Tw(i == 0 ? 900 : widths[i] < 1200 ? 900 : 1200));
        panels_[i]->setFixedWidth(Tw(widths[i]) - 4);
        statusBar()->addWidget(panels_[i]);
    }
    statusBar()->setSizeGripEnabled(false);
    // Hours and minutes in the short time format (the C locale's has seconds: use 4:22 PM).
    QString clockFormat = QLocale().timeFormat(QLocale::ShortFormat);
    if (QLocale().language() == QLocale::C) clockFormat = QStringLiteral("h:mm AP");
    clockFormat.remove(QStringLiteral(":ss"));
    const auto tick = [this, clockFormat] {
        panels_[3]->setText(QTime::currentTime().toString(clockFormat));
    };
    tick();
    clock_.setInterval(kClockRefreshMs);
    connect(&clock_, &QTimer::timeout, this, tick);
    clock_.start();

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("&Disconnect All Clients"), this, [this] {
        if (server_) server_->DisconnectAllClients();
    });
    file->addSeparator();
    file->addAction(QStringLiteral("&Setup"), this, &frmQuorvex::mnuSetup_Click);
    file->addSeparator();
    file->addAction(QStringLiteral("Change Password"), this, &frmQuorvex::mnuChangePassword_Click);
    file->addSeparator();
    file->addAction(QStringLiteral("E&xit"), this, &frmQuorvex::mnuExit_Click);
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addAction(QStringLiteral("&About"), this, &frmQuorvex::mnuAbout_Click);

    // Fixed single border: the client area, the menu bar above it.
    const int statusHeight = Tw(kStatusBarHeightTw);
    statusBar()->setFixedHeight(std::max(statusHeight, statusBar()->sizeHint().height()));
    central->setFixedSize(Tw(kClientWidthTw), Tw(kClientHeightTw - kStatusBarHeightTw));
    setFixedSize(Tw(kClientWidthTw),
                 menuBar()->sizeHint().height() + central->height() + statusBar()->height());
}

frmQuorvex::~frmQuorvex() = default;

// ---- the view ----

void frmQuorvex::Report(const std::string& title, const std::string& text) {
    // Shown without a nested event loop, so the reporting handler goes on at once; one box
    // with the same title and text at a time.
    const QString key = Latin1(title) + QChar(0) + Latin1(text);
    if (openReports_.contains(key)) return;
    openReports_.insert(key);
    auto* box =
        new QMessageBox(QMessageBox::Critical, Latin1(title), BoxText(text), QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    connect(box, &QDialog::finished, this, [this, key] { openReports_.remove(key); });
    // While a dialog (or one of its questions) is open it blocks everything shown before it:
    // the box then goes in front of it, modal itself so that it takes input, and the dialog
    // answers again once the box is closed.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        box->setWindowModality(Qt::ApplicationModal);
        box->winId();
        if (QWindow* front = modal->windowHandle()) box->windowHandle()->setTransientParent(front);
    }
    box->show();
}

void frmQuorvex::HistoryRowAdded(const HistoryRow& row) {
    // The list follows new rows only while it shows the newest one; scrolled up, the operator
    // keeps reading where they are.
    const QScrollBar* bar = lstCmdHistory_->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    auto* item = new QTreeWidgetItem({Latin1(row.address), Latin1(row.description)});
    lstCmdHistory_->addTopLevelItem(item);
    if (following) lstCmdHistory_->scrollToItem(item);
}

void frmQuorvex::HistoryFirstRowRemoved() {
    // Scrolled up, the rows in view stay in view while the oldest row goes.
    QScrollBar* bar = lstCmdHistory_->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    QTreeWidgetItem* top = lstCmdHistory_->itemAt(0, 0);
    QTreeWidgetItem* first = lstCmdHistory_->topLevelItem(0);
    delete lstCmdHistory_->takeTopLevelItem(0);
    if (!following && top && top != first)
        lstCmdHistory_->scrollToItem(top, QAbstractItemView::PositionAtTop);
}

void frmQuorvex::HistoryCleared() {
    lstCmdHistory_->clear();
}

void frmQuorvex::SetLampColour(Lamp lamp, Long colour) {
    (lamp == Lamp::Serial ? shpSerialStatus_ : shpRcvMsg_)->SetColour(colour);
}

QLabel* frmQuorvex::LabelFor(Label label) const {
    switch (label) {
        case Label::CmdHistory:
            return lblCmdHistory_;
        case Label::SerialStatus:
            return lblSerialStatus_;
        case Label::RcvMsg:
            return lblRcvMsg_;
    }
    return lblCmdHistory_;
}

void frmQuorvex::SetCaption(Label label, const std::string& text) {
    LabelFor(label)->setText(Latin1(text));
}
void frmQuorvex::SetToolTip(Label label, const std::string& text) {
    LabelFor(label)->setToolTip(Latin1(text));
}

void frmQuorvex::SetStatusPanel(int panel, const std::string& text) {
    if (panel >= 1 && panel <= 3) panels_[panel - 1]->setText(Latin1(text));
}

void frmQuorvex::ApplyZOrder(Long insertAfter) {
    const bool top = insertAfter == kTopMost;
    if (top == IsTopMost()) return;
    const Qt::WindowFlags flags = windowFlags().setFlag(Qt::WindowStaysOnTopHint, top);
    // QWidget::setWindowFlags would unmap the window and map it again (it blinks and may
    // lose focus); the native window only needs its z-order changed.
    overrideWindowFlags(flags);
    if (QWindow* native = windowHandle()) native->setFlags(flags);
}

void frmQuorvex::CloseAllWindows() {
    unloading_ = true;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it)
        if (*it != this && (*it)->isVisible()) (*it)->close();
    close();
    QMetaObject::invokeMethod(
        qApp, [] { QApplication::quit(); }, Qt::QueuedConnection);
}

Long frmQuorvex::LampColour(Lamp lamp) const {
    return (lamp == Lamp::Serial ? shpSerialStatus_ : shpRcvMsg_)->Colour();
}
QString frmQuorvex::Caption(Label label) const {
    return LabelFor(label)->text();
}
QString frmQuorvex::StatusPanel(int panel) const {
    return panel >= 1 && panel <= 4 ? panels_[panel - 1]->text() : QString();
}

// ---- handlers ----

void frmQuorvex::closeEvent(QCloseEvent* e) {
    // Closing cannot be refused: the shut-down runs once, then every window closes.
    e->accept();
    if (unloading_ || !server_) return;
    unloading_ = true;
    server_->Stop();
}

void frmQuorvex::cmdClearList_Click() {
    if (server_) server_->ClearHistory();
    lstCmdHistory_->setFocus();
}

void frmQuorvex::ModalBracket(QDialog* dialog) {
    ApplyZOrder(kNotTopMost);
    if (onDialogShown) {
        QMetaObject::invokeMethod(
            dialog, [this, dialog] { onDialogShown(dialog); }, Qt::QueuedConnection);
    }
    dialog->exec();
    if (server_) ApplyZOrder(server_->settings().StayOnTopMode);
}

void frmQuorvex::mnuSetup_Click() {
    if (!server_) return;
    frmSetup dialog(*server_, prompts_, this);
    ModalBracket(&dialog);
}

void frmQuorvex::mnuChangePassword_Click() {
    if (!server_) return;
    frmChangePassword dialog(*server_, prompts_, this);
    ModalBracket(&dialog);
}

void frmQuorvex::mnuAbout_Click() {
    if (!server_) return;
    if (!about_) about_ = new frmQuorvexAbout(*server_, this);
    ModalBracket(about_);
}

}  // namespace qv
