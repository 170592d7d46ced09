#include "ui/frm_change_password.h"

#include <QKeyEvent>
#include <QLabel>
#include <QProxyStyle>

#include "records/settings.h"
#include "ui/twips.h"

namespace qv {

namespace {
// Password fields show every character as "*".
class StarStyle final : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* ret) const override {
        if (hint == SH_LineEdit_PasswordCharacter) return '*';
        return QProxyStyle::styleHint(hint, option, widget, ret);
    }
};
// quorvex.ini keeps a password as Latin-1 with the n-th character raised by n, on one line
// without a blank at either end: names the first character that rules out.
QString UnstorableText(const QString& typed) {
    const auto stored = [&typed](qsizetype i) { return typed.at(i).unicode() + i + 1; };
    qsizetype culprit = -1;
    for (qsizetype i = 0; i < typed.size() && culprit < 0; ++i) {
        const auto c = stored(i);
        if (c > 255 || c == 10 || c == 13 || (i == 0 && (c == ' ' || c == '\t')) ||
            (i == typed.size() - 1 && (c == ' ' || c == '\t')))
            culprit = i;
    }
    QString what = QStringLiteral("The new password cannot be stored.  ");
    if (culprit >= 0) {
        const QChar c = typed.at(culprit);
        const QString shown = c.isPrint() ? QStringLiteral("\"%1\" ").arg(c) : QString();
        what += QStringLiteral("Its character %1 (%2code %3) cannot be kept in quorvex.ini.  ")
                    .arg(culprit + 1)
                    .arg(shown)
                    .arg(c.unicode());
    }
    return what + QStringLiteral(
                      "Letters, digits, punctuation and blanks of plain ASCII, up to 129 "
                      "characters, can always be stored");
}
}  // namespace

frmChangePassword::frmChangePassword(Server& server, Prompts& prompts, QWidget* parent)
    : QDialog(parent), server_(server), prompts_(prompts) {
    setWindowTitle(QStringLiteral("Change Password"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::CustomizeWindowHint);
    setWindowIcon(QIcon(QStringLiteral(":/quorvex/quorvex_icon.xpm")));
    setFixedSize(Tw(4440), Tw(2265));

    cmdOk = new QPushButton(QStringLiteral("&Ok"), this);
    PlaceTw(cmdOk, 600, 1560, 975, 495);
    cmdCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    PlaceTw(cmdCancel, 2760, 1560, 975, 495);
    for (QPushButton* b : {cmdOk, cmdCancel}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    auto* lblOld = new QLabel(QStringLiteral("Old Password"), this);
    PlaceTw(lblOld, 120, 360, 1215, 255);
    lblOld->setToolTip(QStringLiteral("Enter Exsisting Password"));
    txtOldPassword = new QLineEdit(this);
    PlaceTw(txtOldPassword, 1800, 240, 2295, 375);
    auto* lblNew = new QLabel(QStringLiteral("New Password"), this);
    PlaceTw(lblNew, 120, 840, 1215, 255);
    lblNew->setToolTip(QStringLiteral("Enter New Password"));
    txtNewPassword = new QLineEdit(this);
    PlaceTw(txtNewPassword, 1800, 840, 2295, 375);
    auto* style = new StarStyle;
    style->setParent(this);
    for (QLineEdit* e : {txtOldPassword, txtNewPassword}) {
        e->setStyle(style);
        e->setEchoMode(QLineEdit::Password);
    }
    connect(cmdOk, &QPushButton::clicked, this, &frmChangePassword::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmChangePassword::cmdCancel_Click);
    setTabOrder(cmdOk, cmdCancel);
    setTabOrder(cmdCancel, txtOldPassword);
    setTabOrder(txtOldPassword, txtNewPassword);
    cmdOk->setFocus();
}

void frmChangePassword::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter)
        return;
    QDialog::keyPressEvent(e);
}

void frmChangePassword::cmdOk_Click() {
    const Settings& v = server_.settings();
    const QByteArray old = txtOldPassword->text().toLatin1();
    if (std::string(old.constData(), static_cast<std::size_t>(old.size())) != v.Password) {
        prompts_.inform(this, QStringLiteral("Password Error"),
                        QStringLiteral("Existing password invalid.  Please try again"));
        txtOldPassword->setFocus();
        return;
    }
    // Only characters the settings file can hold are taken; the old password stays otherwise.
    const QString typed = txtNewPassword->text();
    const QByteArray bytes = typed.toLatin1();
    const std::string next(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (QString::fromLatin1(bytes) != typed || !PasswordStorable(next)) {
        prompts_.inform(this, QStringLiteral("Password Error"), UnstorableText(typed));
        txtNewPassword->setFocus();
        return;
    }
    server_.ChangePassword(next);
    accept();
}

}  // namespace qv
