#pragma once
// Dialogs for tests: records every message box and answers text-input
// dialogs from a queue (an empty queue answers as Cancel would).

#include <QList>
#include <QStringList>
#include <functional>

#include "dialogs.h"

struct ShownMessage {
    QString text;
    QString title;
    platform::MsgIcon icon;
};

struct AskedInput {
    QString prompt;
    QString title;
};

class ScriptedDialogs : public platform::Dialogs {
  public:
    ScriptedDialogs() { platform::Dialogs::install(this); }
    ~ScriptedDialogs() override { platform::Dialogs::install(nullptr); }

    void message(const QString& text, const QString& title, platform::MsgIcon icon) override {
        messages.append({text, title, icon});
        if (onMessage) onMessage();
    }
    QString inputText(const QString& prompt, const QString& title, const QString&) override {
        asked.append({prompt, title});
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }

    QList<ShownMessage> messages;
    QList<AskedInput> asked;
    QStringList answers;
    std::function<void()> onMessage;  // runs while the "modal box" is open
};
