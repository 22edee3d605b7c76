#include "singleinstance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <cerrno>

#include "settingsstore.h"

namespace platform {

namespace {

// Creates a folder and its missing parents, each readable and writable by
// this user alone.
void makePrivateFolder(const QByteArray& path) {
    if (::mkdir(path.constData(), 0700) == 0 || errno != ENOENT) return;
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0) return;
    makePrivateFolder(path.left(slash));
    ::mkdir(path.constData(), 0700);
}

// Whether only this user can create files in the folder (creating it when
// missing).
bool privateFolder(const QString& dir) {
    const QByteArray path = QFile::encodeName(dir);
    makePrivateFolder(path);
    struct stat st = {};
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

QString SingleInstance::folder() {
    const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!dir.isEmpty() && QDir(dir).exists()) return dir;
    // A shared folder such as /tmp would let another user create the lock
    // first and keep this program from ever starting: the settings file's
    // folder instead, or the per-user one when that is open to others.
    const QString settings = QFileInfo(settingsFilePath()).absolutePath();
    if (privateFolder(settings)) return settings;
    const QString own = QFileInfo(userSettingsFilePath()).absolutePath();
    privateFolder(own);
    return own;
}

SingleInstance::SingleInstance(const QString& name)
    : path_(folder() + QLatin1Char('/') + name), lock_(std::make_unique<QLockFile>(path_)) {
    // Without this QLockFile calls a lock older than 30 s stale and a second
    // start would take it from a program that has merely run for a while.
    // A dead owner is still detected through its process id.
    lock_->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    release();
}

bool SingleInstance::acquire() {
    if (lock_->isLocked()) return true;
    return lock_->tryLock(0);
}

bool SingleInstance::heldElsewhere() const {
    return lock_->error() == QLockFile::LockFailedError;
}

void SingleInstance::release() {
    if (lock_->isLocked()) lock_->unlock();
}

bool SingleInstance::held() const {
    return lock_->isLocked();
}

}  // namespace platform
