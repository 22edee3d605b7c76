#pragma once
// Supervision of the interface: once the interface is lost (its adapter was
// unplugged) or was not found, the supervisor tries to contact it again by
// itself until it answers. A retry runs at once when the device node appears
// (again); otherwise the retries follow 1 s, 2 s, 4 s ... apart, at most 30 s
// (logical time of the time base, so tests run it fast).
//
// The device's folder is watched, and for a symbolic link (the names under
// /dev/serial/by-id) also the folder of the device it points to. A folder
// that does not exist (yet) is watched through its nearest existing parent.
//
// A device node that is there but may not be opened yet (the moment between
// the kernel making /dev/ttyUSB0 and udev giving it its group and mode) is
// tried again as soon as its owner, group or mode change (the node itself is
// watched), and besides every kPermissionRetryMs for kPermissionWaitMs, before
// the retries fall back to their growing delays.
//
// The supervisor knows nothing of the interface itself: it calls the contact
// function it was given, which tries once and says whether the interface
// answered and, if not, why. The first failed retry of an outage is reported
// (stillMissing), the others are not; the first successful one is reported
// (found) and ends the supervision. The contact may run the event loop while
// it waits for the interface; no second retry starts meanwhile.

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

namespace core {

class InterfaceSupervisor : public QObject {
    Q_OBJECT
  public:
    struct Contact {
        bool found = false;
        QString reason;  // why nothing answered (when not found)
    };
    using ContactFn = std::function<Contact()>;
    // Whether the device node at a path exists but this process may not open it.
    using DeniedFn = std::function<bool(const QString&)>;

    static constexpr qint64 kFirstRetryMs = 1000;
    static constexpr qint64 kLongestRetryMs = 30000;
    static constexpr qint64 kPermissionRetryMs = 250;
    static constexpr qint64 kPermissionWaitMs = 5000;

    // denied: the permission check (by default the kernel's, made ahead).
    explicit InterfaceSupervisor(ContactFn contact, QObject* parent = nullptr,
                                 DeniedFn denied = {});
    ~InterfaceSupervisor() override;

    // The interface on devicePath was lost or not found: retry until it
    // answers. Called again (another device, another failure), it starts over
    // with the first delay and reports the next failed retry again.
    void supervise(const QString& devicePath);
    // The interface answers (contacted elsewhere) or is given up: no retries.
    void stop();

    bool supervising() const { return supervising_; }
    // Retries since supervise() (whether or not they found the interface).
    int attempts() const { return attempts_; }
    // The folders watched for the device node (for tests and diagnostics).
    QStringList watchedFolders() const;
    // The device node itself while it may not be opened ("" otherwise).
    QString watchedNode() const;
    // The logical delay of the retry that is due next (0: none pending).
    qint64 nextRetryMs() const { return timer_.isActive() ? nextMs_ : 0; }

  signals:
    // A retry reached the interface; supervision has ended.
    void found();
    // The first retry of an outage failed; later failures are not reported.
    void stillMissing(const QString& reason);

  private:
    void retry();
    void scheduleRetry(qint64 logicalMs);
    void folderChanged();
    void nodeChanged();
    void updateWatches();
    void watchNode(bool on);
    bool devicePresent() const;

    ContactFn contact_;
    DeniedFn denied_;
    QString device_;
    bool supervising_ = false;
    bool trying_ = false;    // a contact is in progress
    bool appeared_ = false;  // the device appeared while a contact was in progress
    bool reported_ = false;  // this outage's failed retry was reported
    bool present_ = false;   // the device node existed at the last look
    QString linkTarget_;     // the device the link pointed to when last read
    qint64 delayMs_ = kFirstRetryMs;
    qint64 nextMs_ = 0;          // the delay of the retry pending
    qint64 deniedSinceMs_ = -1;  // logical time the node was first found denied
    int attempts_ = 0;
    QTimer timer_;
    QFileSystemWatcher* watcher_ = nullptr;
};

}  // namespace core
