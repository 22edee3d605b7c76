#pragma once
// A named, manual-reset event that any process of the same user can open by
// name and wait on: a POSIX shared-memory object "/<name>" holding a
// process-shared mutex, condition variable and flag.

#include <QString>

namespace platform {

class NamedEvent {
  public:
    NamedEvent() = default;
    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    // Creates the event (not signalled) or opens an existing one; an object
    // that a creator left half-made is replaced at once. Returns false when
    // the shared object cannot be created or mapped.
    bool open(const QString& name);
    bool isOpen() const { return shared_ != nullptr; }
    QString name() const { return name_; }

    void set();
    void reset();
    // Waits until the event is signalled or realTimeoutMs pass (negative:
    // for ever). Returns true when signalled.
    bool wait(int realTimeoutMs);
    bool isSet();
    void close();

    // The shared-memory object name used for an event name.
    static QByteArray objectName(const QString& name);

    struct Shared;

  private:
    Shared* shared_ = nullptr;
    QString name_;
};

}  // namespace platform
