// The setup dialog: COM port, baud rate, TCP port and the three switches.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include "core/server.h"
#include "ui/prompts.h"

namespace qv {

class frmSetup final : public QDialog {
    Q_OBJECT
  public:
    frmSetup(Server& server, Prompts& prompts, QWidget* parent = nullptr);

    void cmdOk_Click();
    void cmdCancel_Click() { reject(); }
    void chkPassThruMode_Click();

    // Controls, for tests and the screenshot tool.
    QComboBox* cmboComPort;
    QComboBox* cmboBaudRate;
    QLineEdit* txtIpPort;
    QCheckBox* chkStayOnTop;
    QCheckBox* chkLogFile;
    QCheckBox* chkPassThruMode;
    QPushButton* cmdOk;
    QPushButton* cmdCancel;

  protected:
    void keyPressEvent(QKeyEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void Form_Load();

    Server& server_;
    Prompts& prompts_;
};

}  // namespace qv
