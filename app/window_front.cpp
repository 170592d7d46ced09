#include "app/window_front.h"

#include <QDir>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include "app/settings_watch.h"
#include "app/shutdown_signals.h"
#include "ui/frm_change_password.h"
#include "ui/frm_quorvex.h"
#include "ui/frm_setup.h"

namespace qv {

namespace {
constexpr int kScreenshotDelayMs = 2500;  // time for the demo traffic to show

void Shoot(QWidget* w, const QString& dir, const char* name) {
    w->grab().save(QDir(dir).filePath(QString::fromLatin1(name)));
}

void TakeScreenshots(frmQuorvex& window, Server& server, const QString& dir) {
    QDir().mkpath(dir);
    Shoot(&window, dir, "main-window.png");
    {
        frmSetup setup(server, window.prompts(), &window);
        setup.show();
        QApplication::processEvents();
        Shoot(&setup, dir, "setup.png");
    }
    {
        // A COM port that cannot open (the script names the last one as a missing device): the
        // error box in front of Setup, taken from the screen as the operator sees them.
        frmSetup setup(server, window.prompts(), &window);
        setup.setWindowModality(Qt::ApplicationModal);
        setup.show();
        QApplication::processEvents();
        const auto confirm = window.prompts().confirm;
        window.prompts().confirm = [](QWidget*, const QString&, const QString&) { return true; };
        setup.cmboComPort->setCurrentIndex(setup.cmboComPort->count() - 1);
        setup.cmdOk_Click();
        window.prompts().confirm = confirm;
        for (int i = 0; i < 30; ++i) {  // time for a window manager to frame the box
            QApplication::processEvents();
            QThread::msleep(20);
        }
        QRect area = setup.frameGeometry();
        for (QMessageBox* box : window.findChildren<QMessageBox*>()) {
            if (!box->isVisible()) continue;
            area |= box->frameGeometry();
        }
        if (QScreen* screen = setup.screen())
            screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                .save(QDir(dir).filePath(QStringLiteral("setup-error.png")));
        for (QMessageBox* box : window.findChildren<QMessageBox*>()) box->close();
    }
    {
        frmChangePassword change(server, window.prompts(), &window);
        change.show();
        QApplication::processEvents();
        Shoot(&change, dir, "change-password.png");
    }
    frmQuorvexAbout about(server, &window);
    about.show();
    QApplication::processEvents();
    Shoot(&about, dir, "about.png");
    about.hide();
    window.close();
}
}  // namespace

int RunWindow(QApplication& app, const HostOptions& options, const QString& screenshotDir) {
    // The windows are laid out for a small dialog font (DejaVu runs wider than the classic one).
    QFont font = QApplication::font();
    font.setPointSizeF(7.5);
    QApplication::setFont(font);
    bool refused = false;
    const auto lock = LockFolder(options.folder, &refused);
    if (refused) return 1;
    frmQuorvex window;
    ServerHost host(options, window);
    if (!host.StartStatusPage()) return 1;
    window.Attach(host.server());
    OnStopSignal(&app, [&window] { window.close(); });  // SIGTERM closes the window: shut-down
    host.server().Start();
    SettingsWatch watch(host.server(), options.folder);
    OnReloadSignal(&app, [&host] { host.server().ReloadSettings(); });
    host.Started();
    if (const QScreen* screen = window.screen())
        window.move(screen->availableGeometry().center() - window.rect().center());
    window.show();
    if (!screenshotDir.isEmpty()) {
        QTimer::singleShot(kScreenshotDelayMs, &window, [&window, &host, screenshotDir] {
            TakeScreenshots(window, host.server(), screenshotDir);
        });
    }
    return app.exec();
}

}  // namespace qv
