// veldrin: one instance per settings file; the main window does the rest.
// The options are those of startoptions.h. With --headless the program
// replaces itself with the daemon veldrind (same process, same arguments),
// which runs the same core without a window or a display server.
//
// A second start with the same settings file ends at once with status 1 and
// says so on standard error. A settings file that exists but cannot be read
// runs the window on the defaults with an event-log line.
//
// VELDRIN_SCREENSHOT=<file.png>: once start-up is done, show the logs, save
// a picture of the window's client area to the file and end (settings are
// not written). Used to make the picture in the README.
#include <unistd.h>
#include <QApplication>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "controlcm.h"
#include "host.h"
#include "mainwindow.h"
#include "notifyicon.h"
#include "processexit.h"
#include "programinfo.h"
#include "settingsstore.h"
#include "singleinstance.h"
#include "startoptions.h"
#include "startupreport.h"
#include "termsignals.h"

int main(int argc, char** argv) {
    app::survivePipeWithoutReader();
    int exitCode = 0;
    const std::optional<app::StartOptions> started = app::startOptions(argc, argv, &exitCode);
    if (!started) return exitCode;
    const app::StartOptions& options = *started;
    if (options.headless) {
        // The daemon beside this program, with the arguments as given.
        const QString daemon = app::daemonPath(QString::fromLocal8Bit(argv[0]));
        ::execv(daemon.toLocal8Bit().constData(), argv);
        std::fprintf(stderr, "veldrin: cannot run %s: %s\n", qPrintable(daemon),
                     std::strerror(errno));
        return 127;
    }
    const QString defaultSettings = platform::settingsFilePath();
    if (!options.configFile.isEmpty()) platform::setSettingsFileOverride(options.configFile);
    if (options.checkSchedule) return app::runScheduleCheck(options);

    // A missing settings file is a first start; one that is there and cannot
    // be read is not.
    const QString settingsError = platform::settingsFileError();

    // A second start ends at once, before anything is shown or written.
    platform::SingleInstance instance(app::instanceLockName(options.configFile, defaultSettings));
    if (!instance.acquire()) {
        if (instance.heldElsewhere())
            std::fprintf(stderr, "veldrin: another instance already runs with %s\n",
                         qPrintable(platform::settingsFilePath()));
        else
            std::fprintf(stderr, "veldrin: cannot create the instance lock %s\n",
                         qPrintable(instance.path()));
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(programinfo::kTitle);
    QApplication::setQuitOnLastWindowClosed(false);

    app::StartupReport startupReport;  // VELDRIN_STARTUP_REPORT, for ./bench
    Form1 w;
    // The password file stands in for the password dialog, which can still
    // replace it for the run.
    QString passwordError;
    if (!options.passwordFile.isEmpty() &&
        !w.host().usePasswordFile(options.passwordFile, &passwordError))
        std::fprintf(stderr, "veldrin: %s\n", qPrintable(passwordError));
    // The unload step ends the process at once: release what others could
    // see (the icon, the port, the instance lock) and leave without running
    // any further handler.
    app::setExitHook([&w, &instance](int code) {
        w.trayIcon->remove();
        w.controlcm1->ResetCM();
        instance.release();
        std::fflush(nullptr);
        ::_exit(code);
    });
    app::onTermSignals(&w, [&w] {
        int cancel = 0;
        w.Form_Unload(cancel);  // ends the process
    });

    if (!settingsError.isEmpty())
        w.Log_Event(QStringLiteral("ERROR: Could not Read the Settings File %1: %2; Using the "
                                   "Defaults")
                        .arg(platform::settingsFilePath(), settingsError));
    w.Form_Load();
    w.host().logPasswordProblem();
    if (startupReport.active()) {
        startupReport.finish([&w, &instance] {
            w.trayIcon->remove();
            w.controlcm1->ResetCM();
            instance.release();
        });
    }

    const QString shot = qEnvironmentVariable("VELDRIN_SCREENSHOT");
    if (!shot.isEmpty()) {
        w.Label4_Click();
        QTimer::singleShot(500, &w, [&w, &instance, shot] {
            const bool ok = w.grab().save(shot);
            std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "saved" : "could not save",
                         qPrintable(shot));
            w.trayIcon->remove();
            w.controlcm1->ResetCM();
            instance.release();
            std::fflush(nullptr);
            ::_exit(ok ? 0 : 1);
        });
    }
    return app.exec();
}
