// veldrind: the program without a window, for an always-on box and for the
// service manager. It runs the core service under QCoreApplication, with the
// remote-control listener and the home-automation bridge on it, and writes
// its log to standard output (with journal priorities when that is the
// journal). Under systemd it reports readiness, status and stopping, and
// pings the watchdog (systemdnotify.h). It links neither Qt Widgets nor Qt
// Gui and needs no display server and no Qt platform plugin.
//
// The command line is that of veldrin (--config, --password-file; --headless
// is accepted and changes nothing), and `veldrin --headless` replaces itself
// with this program. One instance per settings file: a second start ends at
// once with status 1. A settings file that exists but cannot be read ends the
// start with status 2 and the reason on standard error, since a service on
// the defaults would serve the wrong ports and modules. SIGTERM and SIGINT,
// and the remote word "EXIT", let the commands already taken go out (a few
// seconds at most, the rest named in a line), save and end with status 0;
// SIGHUP reads the
// schedule file again. The daemon
// never writes its settings file: a --config file that does not exist ends
// the start with status 2, and the house code a remote command sets is kept
// in the state folder (runtime.conf beside the state file).
#include <unistd.h>
#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>

#include "eventlog.h"
#include "interface.h"
#include "mqttbridge.h"
#include "processexit.h"
#include "programinfo.h"
#include "regularfile.h"
#include "schedulerunner.h"
#include "service.h"
#include "serviceremote.h"
#include "serviceweb.h"
#include "settingsstore.h"
#include "singleinstance.h"
#include "startoptions.h"
#include "systemdnotify.h"
#include "termsignals.h"

int main(int argc, char** argv) {
    app::survivePipeWithoutReader();
    // Messages name the program as it was started: `veldrin --headless`
    // becomes this program under its own name.
    const QByteArray self = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName().toLocal8Bit();
    int exitCode = 0;
    const std::optional<app::StartOptions> started = app::startOptions(argc, argv, &exitCode);
    if (!started) return exitCode;
    const app::StartOptions& options = *started;
    const QString defaultSettings = platform::settingsFilePath();
    if (!options.configFile.isEmpty()) platform::setSettingsFileOverride(options.configFile);
    if (options.checkSchedule) return app::runScheduleCheck(options);

    // A settings file named on the command line is the administrator's: a
    // mistyped path must not run the service on the defaults.
    if (!options.configFile.isEmpty() && platform::pathMissing(options.configFile)) {
        std::fprintf(stderr, "%s: the settings file %s does not exist\n", self.constData(),
                     qPrintable(options.configFile));
        return 2;
    }
    // A missing settings file is a first start; one that is there and cannot
    // be read is not.
    const QString settingsError = platform::settingsFileError();
    if (!settingsError.isEmpty()) {
        std::fprintf(stderr, "%s: cannot read the settings file %s: %s\n", self.constData(),
                     qPrintable(platform::settingsFilePath()), qPrintable(settingsError));
        return 2;
    }

    platform::SingleInstance instance(app::instanceLockName(options.configFile, defaultSettings));
    if (!instance.acquire()) {
        if (instance.heldElsewhere())
            std::fprintf(stderr, "%s: another instance already runs with %s\n", self.constData(),
                         qPrintable(platform::settingsFilePath()));
        else
            std::fprintf(stderr, "%s: cannot create the instance lock %s\n", self.constData(),
                         qPrintable(instance.path()));
        return 1;
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(programinfo::kTitle);

    core::Service service(core::ServiceSettings::read());
    core::logToStandardOutput(service.log());
    app::SystemdNotify notify;
    const QString version = QStringLiteral("%1.%2.%3")
                                .arg(programinfo::kVersionMajor)
                                .arg(programinfo::kVersionMinor)
                                .arg(programinfo::kVersionPatch);
    service.log().event(QStringLiteral("%1 %2 starting with the settings file %3")
                            .arg(QString::fromLocal8Bit(self), version,
                                 QFileInfo(platform::settingsFilePath()).absoluteFilePath()));
    QString passwordError;
    if (!options.passwordFile.isEmpty()) {
        if (const auto password = app::readPasswordFile(options.passwordFile, &passwordError))
            service.setPassword(*password);
        else
            std::fprintf(stderr, "%s: %s\n", self.constData(), qPrintable(passwordError));
    }

    // Ending releases what others could see (the port, the instance lock)
    // and leaves without running any further handler.
    app::setExitHook([&service, &instance, &notify, &self](int code) {
        notify.stopping();
        service.stop();
        service.log().event(QStringLiteral("%1 stopped (exit status %2)")
                                .arg(QString::fromLocal8Bit(self))
                                .arg(code));
        instance.release();
        std::fflush(nullptr);
        ::_exit(code);
    });
    std::unique_ptr<mqtt::Bridge> bridge;
    // Commands already answered go out first (a few seconds at most), or
    // are named as dropped.
    const auto end = [&service, &bridge] {
        service.finishCommands([&service, &bridge] {
            service.save();
            if (bridge) bridge->stop();
            app::endProcess(0);
        });
    };
    app::onTermSignals(&service, end, [&service] {
        service.log().event(QStringLiteral("SIGHUP: reading the schedule again"));
        service.schedule().reload(true);
    });
    QObject::connect(&service, &core::Service::exitRequested, &service, end);

    // The settings file is never written: the house code a remote command
    // sets lives in the state folder.
    service.keepChangesIn(core::Service::runtimeChangesPath());
    service.load();
    service.start();
    bridge = mqtt::Bridge::fromSettings(&service.states(), &service.commands(),
                                        std::max(1, service.basePosition()), service.log().hook());
    if (bridge) bridge->setSchedule(&service.schedule());
    remote::ServiceRemote remote(service);
    if (remote.listen())
        service.log().event(QStringLiteral("Listening for a connection... ") + remote.where());
    // The phone page, when [Web] Enabled; one that cannot listen has its
    // log line and the service goes on.
    std::unique_ptr<web::ServiceWeb> page;
    if (web::ServiceWeb::enabledInSettings()) {
        page = std::make_unique<web::ServiceWeb>(service);
        if (bridge) {
            page->setMqttConnected(bridge->isConnected());
            QObject::connect(bridge.get(), &mqtt::Bridge::connectionChanged, page.get(),
                             &web::ServiceWeb::setMqttConnected);
        }
        page->listen();
    }
    if (!passwordError.isEmpty())
        service.log().event(QStringLiteral("ERROR: No connection password is set, remote "
                                           "control stays closed: ") +
                            passwordError);
    notify.ready(service);
    return app.exec();
}
