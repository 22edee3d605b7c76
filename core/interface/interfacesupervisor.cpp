#include "interfacesupervisor.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <algorithm>

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

InterfaceSupervisor::InterfaceSupervisor(ContactFn contact, QObject* parent)
    : QObject(parent), contact_(std::move(contact)) {
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
    }
    linkTarget_.clear();
    updateWatches();
    present_ = devicePresent();
    if (!trying_) scheduleRetry(delayMs_);
}

void InterfaceSupervisor::stop() {
    supervising_ = false;
    timer_.stop();
    if (watcher_) {
        const QStringList dirs = watcher_->directories();
        if (!dirs.isEmpty()) watcher_->removePaths(dirs);
    }
}

QStringList InterfaceSupervisor::watchedFolders() const {
    return watcher_ ? watcher_->directories() : QStringList{};
}

void InterfaceSupervisor::scheduleRetry(qint64 logicalMs) {
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
    // A device that appeared while this contact ran gets its own try at once.
    scheduleRetry(appeared_ && present_ ? 0 : delayMs_);
    appeared_ = false;
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
