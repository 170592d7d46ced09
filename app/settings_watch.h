// A running server on its folder: the one server there (a lock held on a file in the folder),
// and the settings file watched, so that a change made by the settings commands (or an edit) is
// applied while it runs.
#pragma once

#include <QFileSystemWatcher>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

namespace qv {

class Server;

// The lock file beside the settings file, held while a server runs on the folder.
inline constexpr const char* kLockFileName = "quorvex.lock";

// Takes the folder's lock. Nothing (with one line on stderr) when another server holds it; a
// folder where no lock can be made at all is served without one.
std::unique_ptr<QLockFile> LockFolder(const QString& folder, bool* refused);

class SettingsWatch final : public QObject {
  public:
    SettingsWatch(Server& server, const QString& folder, QObject* parent = nullptr);

  private:
    void Changed();
    void Settled();

    Server& server_;
    QString folder_, file_;
    QFileSystemWatcher watcher_;
    QTimer settle_;  // one re-read for a burst of changes (a write and its rename)
};

}  // namespace qv
