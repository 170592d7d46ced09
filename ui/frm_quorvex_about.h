// The about window: title, version, maker and the settings in force. Created once, then only
// hidden and shown; every showing refreshes it.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <string>

#include "core/server.h"

namespace qv {

// "Quorvex" CR "Version " the version " - " its date.
std::string VersionText();

class frmQuorvexAbout final : public QDialog {
    Q_OBJECT
  public:
    explicit frmQuorvexAbout(Server& server, QWidget* parent = nullptr);
    void Form_Activate();

    QLabel* lblSerialPort;
    QLabel* lblTcpPort;
    QLabel* LblStayOnTop;
    QLabel* lblLogFile;
    QLabel* lblPassThru;
    QLabel* lblMaxListSize;
    QLabel* lblVersionInfo;
    QPushButton* cmdAboutquit;

  protected:
    void showEvent(QShowEvent* e) override;

  private:
    Server& server_;
};

}  // namespace qv
