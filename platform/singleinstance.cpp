#include "singleinstance.h"

#include <QDir>
#include <QLockFile>

namespace platform {

namespace {
QString runtimeFolder() {
    const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!dir.isEmpty() && QDir(dir).exists()) return dir;
    return QDir::tempPath();
}
}  // namespace

SingleInstance::SingleInstance(const QString& name)
    : path_(runtimeFolder() + QLatin1Char('/') + name), lock_(std::make_unique<QLockFile>(path_)) {
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

void SingleInstance::release() {
    if (lock_->isLocked()) lock_->unlock();
}

bool SingleInstance::held() const {
    return lock_->isLocked();
}

}  // namespace platform
