#include "interfacesupervisor.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <algorithm>

#include "deviceaccess.h"
#include "timebase.h"

namespace core {

namespace {
// The folder that holds path, or its nearest parent that exists: a folder
// created later (/dev/serial/by-id appears with the first adapter) shows up as
// a change of its parent.
QString existingFolderOf(const QString& path) {
    QString dir = QFileInfo(path).absolutePath();
    while (!QFileInfo(dir).isDir()) {
        const QString parent = QFileInfo(dir).absolutePath();
        if (parent == dir) break;
        dir = parent;
    }
    return dir;
}
}  // namespace

InterfaceSupervisor::InterfaceSupervisor(ContactFn contact, QObject* parent, DeniedFn denied)
    : QObject(parent), contact_(std::move(contact)), denied_(std::move(denied)) {
    if (!denied_)
        denied_ = [](const QString& path) { return platform::deviceDenied(path).has_value(); };
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &InterfaceSupervisor::retry);
}

InterfaceSupervisor::~InterfaceSupervisor() = default;

void InterfaceSupervisor::supervise(const QString& devicePath) {
    device_ = devicePath;
    supervising_ = true;
    reported_ = false;
    attempts_ = 0;
    delayMs_ = kFirstRetryMs;
    if (!watcher_) {
        watcher_ = new QFileSystemWatcher(this);
        connect(watcher_, &QFileSystemWatcher::directoryChanged, this,
                &InterfaceSupervisor::folderChanged);
        connect(watcher_, &QFileSystemWatcher::fileChanged, this,
                &InterfaceSupervisor::nodeChanged);
    }
    deniedSinceMs_ = -1;
    watchNode(false);
    linkTarget_.clear();
    updateWatches();
    present_ = devicePresent();
    if (!trying_) scheduleRetry(delayMs_);
}

void InterfaceSupervisor::stop() {
    supervising_ = false;
    timer_.stop();
    if (watcher_) {
        const QStringList paths = watcher_->directories() + watcher_->files();
        if (!paths.isEmpty()) watcher_->removePaths(paths);
    }
}

QStringList InterfaceSupervisor::watchedFolders() const {
    return watcher_ ? watcher_->directories() : QStringList{};
}

QString InterfaceSupervisor::watchedNode() const {
    return watcher_ && !watcher_->files().isEmpty() ? watcher_->files().constFirst() : QString();
}

void InterfaceSupervisor::scheduleRetry(qint64 logicalMs) {
    nextMs_ = logicalMs;
    if (logicalMs == 0) {
        timer_.start(0);
        return;
    }
    platform::TimeBase::global().startTimer(timer_, logicalMs);
    delayMs_ = std::min(delayMs_ * 2, kLongestRetryMs);
}

void InterfaceSupervisor::retry() {
    if (!supervising_ || trying_) return;
    trying_ = true;
    appeared_ = false;
    ++attempts_;
    const Contact result = contact_ ? contact_() : Contact{};
    trying_ = false;
    // Stopped meanwhile: the interface was contacted elsewhere, or given up.
    if (!supervising_) return;
    if (result.found) {
        stop();
        emit found();
        return;
    }
    if (!reported_) {
        reported_ = true;
        emit stillMissing(result.reason);
        if (!supervising_) return;
    }
    updateWatches();
    present_ = devicePresent();
    // A node that may not be opened yet is likely waiting for udev: watched
    // for its permissions, and tried again soon for a few seconds.
    const bool denied = present_ && denied_(device_);
    watchNode(denied);
    const qint64 now = platform::TimeBase::global().nowMs();
    if (!denied)
        deniedSinceMs_ = -1;
    else if (deniedSinceMs_ < 0)
        deniedSinceMs_ = now;
    if (appeared_ && present_) {
        // A device that appeared while this contact ran gets its own try at once.
        scheduleRetry(0);
    } else if (denied && now - deniedSinceMs_ < kPermissionWaitMs) {
        nextMs_ = kPermissionRetryMs;
        platform::TimeBase::global().startTimer(timer_, kPermissionRetryMs);
    } else {
        scheduleRetry(delayMs_);
    }
    appeared_ = false;
}

void InterfaceSupervisor::nodeChanged() {
    if (!supervising_) return;
    if (trying_)
        appeared_ = true;
    else
        scheduleRetry(0);
}

void InterfaceSupervisor::watchNode(bool on) {
    if (!watcher_) return;
    const QStringList files = watcher_->files();
    if (!files.isEmpty() && (!on || files.constFirst() != device_)) watcher_->removePaths(files);
    if (on && !watcher_->files().contains(device_)) watcher_->addPath(device_);
}

void InterfaceSupervisor::folderChanged() {
    if (!supervising_) return;
    updateWatches();
    const bool now = devicePresent();
    if (now && !present_) {
        if (trying_)
            appeared_ = true;
        else
            scheduleRetry(0);
    }
    present_ = now;
}

void InterfaceSupervisor::updateWatches() {
    if (!watcher_) return;
    QSet<QString> wanted{existingFolderOf(device_)};
    const QFileInfo link(device_);
    if (link.isSymLink()) {
        const QString target = link.symLinkTarget();
        if (!target.isEmpty()) linkTarget_ = target;
    }
    // The device a link pointed to stays watched while the link is gone.
    if (!linkTarget_.isEmpty()) wanted.insert(existingFolderOf(linkTarget_));
    const QStringList current = watcher_->directories();
    QStringList drop;
    for (const QString& d : current)
        if (!wanted.contains(d)) drop << d;
    if (!drop.isEmpty()) watcher_->removePaths(drop);
    QStringList add;
    for (const QString& d : wanted)
        if (!current.contains(d)) add << d;
    if (!add.isEmpty()) watcher_->addPaths(add);
}

bool InterfaceSupervisor::devicePresent() const {
    return !device_.isEmpty() && QFileInfo::exists(device_);
}

}  // namespace core
