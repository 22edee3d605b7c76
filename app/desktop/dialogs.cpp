#include "dialogs.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace platform {

namespace {
Dialogs* g_installed = nullptr;
}

Dialogs& Dialogs::current() {
    static WidgetDialogs real;
    return g_installed ? *g_installed : real;
}

void Dialogs::install(Dialogs* d) {
    g_installed = d;
}

QString Dialogs::defaultTitle() {
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("Veldrin") : name;
}

void WidgetDialogs::message(const QString& text, const QString& title, MsgIcon icon) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title.isEmpty() ? Dialogs::defaultTitle() : title);
    box.setText(text);
    switch (icon) {
        case MsgIcon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
        case MsgIcon::Critical:
            box.setIcon(QMessageBox::Critical);
            break;
        case MsgIcon::Exclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case MsgIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case MsgIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

QString WidgetDialogs::inputText(const QString& prompt, const QString& title,
                                 const QString& initial) {
    bool ok = false;
    const QString text = QInputDialog::getText(QApplication::activeWindow(),
                                               title.isEmpty() ? Dialogs::defaultTitle() : title,
                                               prompt, QLineEdit::Normal, initial, &ok);
    return ok ? text : QString();
}

}  // namespace platform

namespace platform {

namespace {
// A message box's text on one line: its line breaks become blanks.
QString oneLine(const QString& text) {
    return text.simplified();
}
}  // namespace

void LogDialogs::message(const QString& text, const QString& title, MsgIcon icon) {
    Q_UNUSED(title);
    Q_UNUSED(icon);
    if (log_) log_(QStringLiteral("Message (no window to show it): ") + oneLine(text));
}

QString LogDialogs::inputText(const QString& prompt, const QString& title, const QString& initial) {
    Q_UNUSED(title);
    Q_UNUSED(initial);
    if (log_)
        log_(QStringLiteral("Question left unanswered (no window to ask it): ") + oneLine(prompt));
    return QString();
}

}  // namespace platform
