// Fuzz target: any text handed as a remote client's word to the service of a
// loaded main window, whose labels and log follow what the word does. Shutdown commands go to a
// recording runner, the exit step to a recording hook, the serial port to a device that does not
// exist.
#include <stdlib.h>
#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QTemporaryDir>
#include <cstdint>

#include "dialogs.h"
#include "mainwindow.h"
#include "privileges.h"
#include "processexit.h"
#include "service.h"
#include "settingsstore.h"
#include "timebase.h"

namespace {
// No dialog is expected here; should one come, it answers at once.
class SilentDialogs : public platform::Dialogs {
  public:
    void message(const QString&, const QString&, platform::MsgIcon) override {}
    QString inputText(const QString&, const QString&, const QString&) override { return {}; }
};

Form1* g_window = nullptr;
int g_runs = 0;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QTemporaryDir home;
    ::setenv("XDG_CONFIG_HOME", qPrintable(home.path()), 1);
    ::setenv("XDG_RUNTIME_DIR", qPrintable(home.path()), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Never destroyed: the window lives to the end of the process, and tearing
    // the application down under it at exit would crash.
    new QApplication(*argc, *argv);
    static SilentDialogs dialogs;
    platform::Dialogs::install(&dialogs);
    platform::TimeBase::global().setScale(1000);
    platform::SaveSetting("veldrin", "Ports", "COM1", home.path() + "/no-such-device");
    platform::SaveSetting("veldrin", "Startup", "ListenPort", "0");  // any free port
    platform::setCommandRunner([](const QString&, const QStringList&) {
        ++g_runs;
        return true;
    });
    app::setExitHook([](int) {});
    g_window = new Form1;
    g_window->Form_Load();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One character per byte, so every byte value reaches the interpreter.
    const QString command =
        QString::fromLatin1(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    g_window->service().runWord(command, state::Source::Remote);
    if (g_window->lstEvents->count() > 1000) g_window->lstEvents->clear();
    return 0;
}
