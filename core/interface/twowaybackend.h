#pragma once
// The two-way interface through the control library's engine: commands are
// queued on the engine (Exec), which reports each one done.

#include <deque>

#include "backend.h"

namespace pandrel {
class Engine;
}

namespace core {

class TwoWayBackend : public Backend {
    Q_OBJECT
  public:
    explicit TwoWayBackend(pandrel::Engine& engine, QObject* parent = nullptr);

    QString name() const override { return QStringLiteral("Pandrel"); }
    QString foundLine(int16_t port) const override;
    Contact contact(int16_t port, bool background) override;
    void release() override;
    bool dimsToLevel() const override { return false; }
    QString cannotCarry(int) const override { return {}; }
    QString busy() const override { return {}; }
    int waiting() const override { return queued_; }
    void send(const LineCommand& c) override;

  private:
    struct Record {
        LineCommand command;
        QString devicecode;
    };
    void commandDone(const QString& housecode, const QString& devicecode, int16_t command,
                     int16_t brightness, bool sent);

    pandrel::Engine& engine_;
    std::deque<Record> records_;
    int queued_ = 0;  // commands the engine holds (taken, not yet reported done)
};

}  // namespace core
