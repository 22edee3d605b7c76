// veldrin: one instance per user; the main window does the rest.
//
// VELDRIN_SCREENSHOT=<file.png>: once start-up is done, show the logs, save
// a picture of the window's client area to the file and end (settings are
// not written). Used to make the picture in the README.
#include <unistd.h>
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "controlcm.h"
#include "mainwindow.h"
#include "notifyicon.h"
#include "processexit.h"
#include "programinfo.h"
#include "singleinstance.h"
#include "startupreport.h"

int main(int argc, char** argv) {
    // A second start ends at once, before anything is shown or written.
    platform::SingleInstance instance;
    if (!instance.acquire()) return 0;

    QApplication app(argc, argv);
    QApplication::setApplicationName(programinfo::kTitle);
    QApplication::setQuitOnLastWindowClosed(false);

    app::StartupReport startupReport;  // VELDRIN_STARTUP_REPORT, for ./bench
    Form1 w;
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

    w.Form_Load();
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
