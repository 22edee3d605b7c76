#pragma once
// One interface for every message box and text-input dialog, so that tests
// script them and never wait on a real modal dialog.

#include <QString>
#include <functional>

class QWidget;

namespace platform {

enum class MsgIcon { None, Critical, Exclamation, Information, Question };

class Dialogs {
  public:
    virtual ~Dialogs() = default;

    // A modal message box with an OK button. An empty title means the
    // program's default title (the application name).
    virtual void message(const QString& text, const QString& title, MsgIcon icon) = 0;

    // A modal text-input dialog; returns the typed text, or "" on Cancel.
    virtual QString inputText(const QString& prompt, const QString& title,
                              const QString& initial = QString()) = 0;

    // The dialogs in use (real widgets unless a test installed its own).
    static Dialogs& current();
    // Installs d (not owned); nullptr goes back to the real widgets.
    static void install(Dialogs* d);

    // Title used where a caller gives none.
    static QString defaultTitle();
};

// The real dialogs: QMessageBox and QInputDialog over the active window.
class WidgetDialogs : public Dialogs {
  public:
    void message(const QString& text, const QString& title, MsgIcon icon) override;
    QString inputText(const QString& prompt, const QString& title, const QString& initial) override;
};

}  // namespace platform

namespace platform {

// Dialogs for a run without a window: each message becomes one line through
// log, and each question is answered as if the user had cancelled it.
class LogDialogs : public Dialogs {
  public:
    explicit LogDialogs(std::function<void(const QString&)> log) : log_(std::move(log)) {}
    void message(const QString& text, const QString& title, MsgIcon icon) override;
    QString inputText(const QString& prompt, const QString& title, const QString& initial) override;

  private:
    std::function<void(const QString&)> log_;
};

}  // namespace platform
