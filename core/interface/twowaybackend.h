#pragma once
// The two-way interface through the control library's engine: commands are
// queued on its typed face under their ids, and its outcome of each id is
// the command's.

#include <deque>

#include "backend.h"
#include "engine.h"

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
    void outcome(quint64 id, pandrel::Outcome outcome, const QString& reason);

    pandrel::Engine& engine_;
    std::deque<LineCommand> records_;  // taken, not yet reported, oldest first
    int queued_ = 0;                   // commands the engine holds
};

}  // namespace core
