#include "startoptions.h"

#include <unistd.h>

#include <QCommandLineParser>
#include <QFileInfo>
#include <cstdio>

#include "clock.h"
#include "programinfo.h"
#include "remoteserver.h"
#include "schedulesource.h"
#include "secretfile.h"
#include "settingsstore.h"

namespace app {

namespace {

// Options that QApplication takes out of the arguments itself; they are
// accepted here so that "veldrin -platform offscreen" still works.
void addToolkitOptions(QCommandLineParser& parser) {
    for (const char* name :
         {"platform", "platformpluginpath", "platformtheme", "plugin", "display", "style",
          "stylesheet", "geometry", "qwindowgeometry", "qwindowicon", "qwindowtitle", "session"}) {
        QCommandLineOption o(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }
    for (const char* name : {"reverse", "nograb", "dograb", "widgetcount"}) {
        QCommandLineOption o(QString::fromLatin1(name));
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }
}

}  // namespace

ParsedStart parseStartOptions(const QStringList& arguments, Program program) {
    const bool daemon = program == Program::Daemon;
    const QString name = daemon ? QStringLiteral("veldrind") : QStringLiteral("veldrin");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        daemon ? QStringLiteral("Runs the Veldrin service without a window: switches and dims X10 "
                                "powerline modules through a serial interface for the remote "
                                "control, the phone page, the MQTT bridge and the schedule.")
               : QStringLiteral("Switches and dims X10 powerline modules through a serial "
                                "interface."));
    // One dash or two: "-platform" is one option, as the toolkit reads it.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the program's version."));
    QCommandLineOption headless(
        QStringLiteral("headless"),
        QStringLiteral("Runs without a window and without a display server; event-log lines go "
                       "to standard output."));
    // veldrin --headless becomes this program with the same arguments.
    if (daemon) headless.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption config(
        QStringLiteral("config"),
        daemon ? QStringLiteral("Reads the settings file FILE instead of the per-user one (it is "
                                "never written).")
               : QStringLiteral("Reads and writes the settings file FILE instead of the per-user "
                                "one."),
        QStringLiteral("FILE"));
    const QCommandLineOption password(
        QStringLiteral("password-file"),
        QStringLiteral("Takes the connection password from the first line of FILE, which only "
                       "its owner may read."),
        QStringLiteral("FILE"));
    const QCommandLineOption checkSchedule(
        QStringLiteral("check-schedule"),
        QStringLiteral("Checks the schedule file (that of the settings, or SCHEDULE): prints each "
                       "entry's next three firing times, or the errors with their line numbers, "
                       "and ends (status 1 on an error)."));
    parser.addPositionalArgument(
        QStringLiteral("SCHEDULE"),
        QStringLiteral("With --check-schedule: the schedule file to check."),
        QStringLiteral("[SCHEDULE]"));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(checkSchedule);
    parser.addOption(headless);
    parser.addOption(config);
    parser.addOption(password);
    addToolkitOptions(parser);

    const QString usage = parser.helpText().replace(QStringLiteral("<executable_name>"), name);
    const QString prefix = name + QStringLiteral(": ");
    ParsedStart result;
    if (!parser.parse(arguments)) {
        result.text = prefix + parser.errorText() + QLatin1Char('\n') + usage;
        result.exitCode = 2;
        return result;
    }
    if (parser.isSet(help)) {
        result.text = usage;
        return result;
    }
    if (parser.isSet(version)) {
        result.text = QStringLiteral("%1 %2.%3.%4\n")
                          .arg(name)
                          .arg(programinfo::kVersionMajor)
                          .arg(programinfo::kVersionMinor)
                          .arg(programinfo::kVersionPatch);
        return result;
    }
    const QStringList positional = parser.positionalArguments();
    const bool checking = parser.isSet(checkSchedule);
    if (positional.size() > (checking ? 1 : 0)) {
        result.text = prefix + QStringLiteral("unexpected argument '") +
                      positional.at(checking ? 1 : 0) + QStringLiteral("'\n") + usage;
        result.exitCode = 2;
        return result;
    }
    StartOptions o;
    o.headless = parser.isSet(headless);
    o.checkSchedule = checking;
    if (checking && !positional.isEmpty())
        o.scheduleFile = QFileInfo(positional.constFirst()).absoluteFilePath();
    if (parser.isSet(config)) {
        if (parser.value(config).isEmpty()) {
            result.text = prefix + QStringLiteral("--config needs a file name\n") + usage;
            result.exitCode = 2;
            return result;
        }
        o.configFile = QFileInfo(parser.value(config)).absoluteFilePath();
    }
    o.passwordFile = parser.value(password);
    result.options = o;
    return result;
}

std::optional<QString> readPasswordFile(const QString& path, QString* error) {
    // The password is typed as one line of the remote protocol, so a longer
    // first line could never be given by a client.
    platform::PasswordFileLimits limits;
    limits.maxLineBytes = RemoteServer::MaxLine;
    std::optional<QString> password = platform::readPasswordFile(path, limits, error);
    if (password && password->isEmpty()) {
        if (error)
            *error = QStringLiteral("the password file %1 has an empty first line").arg(path);
        return std::nullopt;
    }
    return password;
}

QString instanceLockName(const QString& configFile, const QString& defaultFile) {
    return platform::instanceName(configFile, defaultFile) + QStringLiteral(".lock");
}

QString daemonPath(const QString& argv0) {
    QString self = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    if (self.isEmpty()) self = QFileInfo(argv0).absoluteFilePath();
    return QFileInfo(self).absolutePath() + QStringLiteral("/veldrind");
}

QString scheduleCheckPreamble(const QString& settingsFile, bool configGiven, bool root,
                              bool serviceFileExists) {
    QString text = QStringLiteral("Settings file: %1\n").arg(settingsFile);
    if (!configGiven && root && serviceFileExists &&
        QFileInfo(settingsFile).absoluteFilePath() != kServiceSettingsFile) {
        text += QStringLiteral(
                    "The service reads %1, not this file: check its schedule with "
                    "veldrind --config %1 --check-schedule\n")
                    .arg(kServiceSettingsFile);
    }
    return text;
}

int runScheduleCheck(const StartOptions& options) {
    // The settings name the schedule file and the place for sunrise and
    // sunset: a check on the defaults would judge another schedule.
    if (const QString why = platform::settingsFileError(); !why.isEmpty()) {
        std::fprintf(stderr, "veldrin: cannot read the settings file %s: %s\n",
                     qPrintable(platform::settingsFilePath()), qPrintable(why));
        return 2;
    }
    const QString path =
        options.scheduleFile.isEmpty() ? core::scheduleFilePath() : options.scheduleFile;
    const core::ScheduleCheck check = core::checkSchedule(path, platform::Clock::global().now());
    const QString preamble =
        scheduleCheckPreamble(platform::settingsFilePath(), !options.configFile.isEmpty(),
                              ::geteuid() == 0, QFileInfo::exists(kServiceSettingsFile));
    std::fputs((preamble + check.text).toLocal8Bit().constData(), check.exitCode ? stderr : stdout);
    return check.exitCode;
}

std::optional<StartOptions> startOptions(int argc, char** argv, int* exitCode, Program program) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
    const ParsedStart parsed = parseStartOptions(arguments, program);
    if (!parsed.options) {
        std::fputs(parsed.text.toLocal8Bit().constData(), parsed.exitCode ? stderr : stdout);
        *exitCode = parsed.exitCode;
    }
    return parsed.options;
}

}  // namespace app
