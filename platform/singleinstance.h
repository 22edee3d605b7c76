#pragma once
// Single-instance lock: a QLockFile "veldrin.lock" in $XDG_RUNTIME_DIR. Without
// that folder the lock goes to the settings file's folder (created readable
// by this user alone when missing), or to the per-user settings folder when
// others may write in that one: never where another user could create it
// first. The lock of a process that died is taken over; a living holder keeps
// it however long it runs.

#include <QString>
#include <memory>

class QLockFile;

namespace platform {

class SingleInstance {
  public:
    explicit SingleInstance(const QString& name = QStringLiteral("veldrin.lock"));
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process now holds the lock (or already held it).
    bool acquire();
    // After a failed acquire: true when another process holds the lock,
    // false when the lock file could not be made at all.
    bool heldElsewhere() const;
    // Gives the lock up (also done by the destructor).
    void release();
    bool held() const;

    QString path() const { return path_; }
    // The folder the lock goes in, under the rules above.
    static QString folder();

  private:
    QString path_;
    std::unique_ptr<QLockFile> lock_;
};

}  // namespace platform
