// The operator's main window: command history, lamps, status bar, menus. It is the server's
// view; its menus run the server's handlers.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <QTreeWidget>
#include <functional>

#include "base/ports.h"
#include "core/server.h"
#include "ui/frm_quorvex_about.h"
#include "ui/lamp.h"
#include "ui/prompts.h"

class QGroupBox;
class QMessageBox;

namespace qv {

class frmSetup;
class frmChangePassword;

class frmQuorvex final : public QMainWindow, public IView {
    Q_OBJECT
  public:
    explicit frmQuorvex(QWidget* parent = nullptr);
    ~frmQuorvex() override;

    // The server whose view this window is; set before Form_Load.
    void Attach(Server& server) { server_ = &server; }
    Prompts& prompts() { return prompts_; }

    // IView.
    void Report(const std::string& title, const std::string& text) override;
    void HistoryRowAdded(const HistoryRow& row) override;
    void HistoryFirstRowRemoved() override;
    void HistoryCleared() override;
    void SetLampColour(Lamp lamp, Long colour) override;
    void SetCaption(Label label, const std::string& text) override;
    void SetToolTip(Label label, const std::string& text) override;
    void SetStatusPanel(int panel, const std::string& text) override;
    void ApplyZOrder(Long insertAfter) override;
    void CloseAllWindows() override;

    // Menu and button handlers.
    void mnuSetup_Click();
    void mnuChangePassword_Click();
    void mnuAbout_Click();
    void mnuExit_Click() { close(); }
    void cmdClearList_Click();

    // Observers for tests and the screenshot tool.
    bool IsTopMost() const { return windowFlags().testFlag(Qt::WindowStaysOnTopHint); }
    QTreeWidget* History() const { return lstCmdHistory_; }
    Long LampColour(Lamp lamp) const;
    QString Caption(Label label) const;
    QString StatusPanel(int panel) const;
    // Runs while a dialog of the bracket is open (tests look at the z-order then).
    std::function<void(QDialog*)> onDialogShown;
    frmQuorvexAbout* About() const { return about_; }

  protected:
    void closeEvent(QCloseEvent* e) override;

  private:
    // Not topmost while the dialog is open; the stay-on-top setting applied again after.
    void ModalBracket(QDialog* dialog);
    QLabel* LabelFor(Label label) const;

    Server* server_ = nullptr;
    Prompts prompts_;
    QLabel* lblCmdHistory_;
    QPushButton* cmdClearList_;
    QTreeWidget* lstCmdHistory_;
    QGroupBox* frame1_;
    LampWidget* shpSerialStatus_;
    LampWidget* shpRcvMsg_;
    QLabel* lblSerialStatus_;
    QLabel* lblRcvMsg_;
    QLabel* panels_[4];
    QTimer clock_;
    QSet<QString> openReports_;  // title + text of the boxes now open
    QPointer<frmQuorvexAbout> about_;
    bool unloading_ = false;
};

}  // namespace qv
