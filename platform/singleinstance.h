#pragma once
// Single-instance lock: a QLockFile "veldrin.lock" in $XDG_RUNTIME_DIR (or the
// temporary folder). The lock of a process that died is taken over; a living
// holder keeps it however long it runs.

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
    // Gives the lock up (also done by the destructor).
    void release();
    bool held() const;

    QString path() const { return path_; }

  private:
    QString path_;
    std::unique_ptr<QLockFile> lock_;
};

}  // namespace platform
