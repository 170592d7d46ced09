#include "app/settings_watch.h"

#include <QDir>
#include <QFileInfo>
#include <cstdio>

#include "core/server.h"
#include "records/settings.h"

namespace qv {
namespace {
// Changes are gathered this long before the file is read; well inside a second.
constexpr int kSettleMs = 100;
}  // namespace

std::unique_ptr<QLockFile> LockFolder(const QString& folder, bool* refused) {
    *refused = false;
    auto lock = std::make_unique<QLockFile>(QDir(folder).filePath(QLatin1String(kLockFileName)));
    lock->setStaleLockTime(0);  // only a lock whose process is gone is stale
    if (lock->tryLock(0)) return lock;
    if (lock->error() != QLockFile::LockFailedError) return nullptr;
    qint64 pid = 0;
    QString host, app;
    lock->getLockInfo(&pid, &host, &app);
    std::fprintf(stderr,
                 "quorvex: another server (process %lld) runs on %s; one server per folder\n",
                 static_cast<long long>(pid),
                 qPrintable(QDir::toNativeSeparators(QDir(folder).absolutePath())));
    *refused = true;
    return nullptr;
}

SettingsWatch::SettingsWatch(Server& server, const QString& folder, QObject* parent)
    : QObject(parent),
      server_(server),
      folder_(QDir(folder).absolutePath()),
      file_(QDir(folder_).filePath(QLatin1String(kSettingsFileName))) {
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &SettingsWatch::Settled);
    // The folder shows a file replaced by rename; the file itself an edit in place.
    watcher_.addPath(folder_);
    if (QFileInfo::exists(file_)) watcher_.addPath(file_);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &SettingsWatch::Changed);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &SettingsWatch::Changed);
}

void SettingsWatch::Changed() {
    if (!settle_.isActive()) settle_.start();
}

void SettingsWatch::Settled() {
    // A replaced file is a new one to watch.
    if (QFileInfo::exists(file_) && !watcher_.files().contains(file_)) watcher_.addPath(file_);
    server_.ReloadSettings();
}

}  // namespace qv
