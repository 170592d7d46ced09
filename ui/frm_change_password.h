// The change-password dialog.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include "core/server.h"
#include "ui/prompts.h"

namespace qv {

class frmChangePassword final : public QDialog {
    Q_OBJECT
  public:
    frmChangePassword(Server& server, Prompts& prompts, QWidget* parent = nullptr);
    void cmdOk_Click();
    void cmdCancel_Click() { reject(); }

    QLineEdit* txtOldPassword;
    QLineEdit* txtNewPassword;
    QPushButton* cmdOk;
    QPushButton* cmdCancel;

  protected:
    void keyPressEvent(QKeyEvent* e) override;

  private:
    Server& server_;
    Prompts& prompts_;
};

}  // namespace qv
