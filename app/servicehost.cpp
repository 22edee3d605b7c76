#include "servicehost.h"

#include <unistd.h>
#include <QDir>
#include <QFileInfo>

#include "dialogs.h"
#include "settingskeys.h"
#include "settingsstore.h"
#include "shell.h"
#include "windowkeys.h"

namespace {
const QString kCrLf = QStringLiteral("\r\n");
const QChar kQuote = QLatin1Char('"');
}  // namespace

ServiceHost::ServiceHost(std::function<QString()> title, std::function<void()> unload)
    : title_(std::move(title)), unload_(std::move(unload)) {}

bool ServiceHost::open(const QString& file, const QString& parameters, int showMode,
                       const QString& notFoundText, bool program) {
    const QString folder = platform::programFolder();
    const QString path = platform::resolveShellFile(folder + file);
    // A host that is a document, or that cannot run, is an error: nothing
    // may be recorded as installed, started or removed.
    int result = platform::kShellNotFound;
    if (!path.isEmpty())
        result = program && !platform::isProgramFile(path)
                     ? platform::kShellFailed
                     : platform::shellOpen(folder + file, parameters, showMode);
    if (result == platform::kShellNotFound) {
        platform::Dialogs::current().message(notFoundText + folder, title_(),
                                             platform::MsgIcon::Exclamation);
        return false;
    }
    if (result == platform::kShellFailed) {
        platform::Dialogs::current().message(
            QStringLiteral("The Program could not be Run: ") + path, title_(),
            platform::MsgIcon::Exclamation);
        return false;
    }
    return true;
}

void ServiceHost::install() {
    if (!open(QStringLiteral("/Grelmond.exe"), QStringLiteral("-i"), platform::SW_HIDE,
              QStringLiteral("The Program was not found in: ")))
        return;
    platform::Dialogs::current().message(
        QStringLiteral("Service Installed.") + kCrLf + kCrLf +
            QStringLiteral("This Program will Exit Now.  Reboot your Machine and the Service "
                           "will Start Automatically.") +
            kCrLf + kCrLf +
            QStringLiteral("Veldrin will NOT minimize to the System Tray in this Mode."),
        QString(), platform::MsgIcon::None);
    platform::SaveSetting(settings::kApp, settings::kSection, settings::kService,
                          QStringLiteral("1"));
    unload_();
}

void ServiceHost::start() {
    if (!open(QStringLiteral("/Grelmond"), QStringLiteral("-r ") + kQuote + kServiceName + kQuote,
              platform::SW_HIDE, QStringLiteral("The Program was not found in: ")))
        return;
    platform::Dialogs::current().message(QStringLiteral("Service Started"), QString(),
                                         platform::MsgIcon::None);
}

void ServiceHost::stop() {
    if (!open(QStringLiteral("/Grelmond"), QStringLiteral("-k ") + kQuote + kServiceName + kQuote,
              platform::SW_HIDE, QStringLiteral("The Program was not found in: ")))
        return;
    platform::Dialogs::current().message(QStringLiteral("Service Stopped"), QString(),
                                         platform::MsgIcon::None);
}

void ServiceHost::remove() {
    if (!open(QStringLiteral("/Grelmond"), QStringLiteral("-u"), platform::SW_HIDE,
              QStringLiteral("The Program was not found in: ")))
        return;
    platform::Dialogs::current().message(
        QStringLiteral("Service Removed.") + kCrLf + kCrLf +
            QStringLiteral("You Do Not Reboot your Machine.") + kCrLf + kCrLf +
            QStringLiteral("Veldrin will now resume minimizing to the System Tray in this Mode."),
        QString(), platform::MsgIcon::None);
    platform::SaveSetting(settings::kApp, settings::kSection, settings::kService,
                          QStringLiteral("0"));
}

QString ServiceHost::fallbackLogFile() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty()) state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/veldrin/Grelmond.txt");
}

QString ServiceHost::logFile(const QString& folder) {
    const QFileInfo info(folder);
    const QString path = info.canonicalFilePath();
    bool system = false;
    if (::geteuid() == 0 && info.ownerId() == 0) {
        for (const char* prefix :
             {"/usr/", "/bin/", "/sbin/", "/lib/", "/lib32/", "/lib64/", "/opt/"})
            system = system || (path + QLatin1Char('/')).startsWith(QLatin1String(prefix));
    }
    if (!system && ::access(QFile::encodeName(folder).constData(), W_OK) == 0)
        return folder + QStringLiteral("/Grelmond.txt");
    return fallbackLogFile();
}

void ServiceHost::showLog() {
    // The host writes its log into the user's state folder when it may not
    // write the program folder (an installation owned by root); a log left
    // at the other place by an earlier version is shown when that one is
    // missing.
    const QString folder = platform::programFolder();
    const QString beside = folder + QStringLiteral("/Grelmond.txt");
    const QString written = logFile(folder);
    const QString other = written == beside ? fallbackLogFile() : beside;
    const QString shown =
        !QFileInfo(written).isFile() && QFileInfo(other).isFile() ? other : written;
    if (shown != beside) {
        if (QFileInfo(shown).isFile())
            platform::shellOpen(shown, QString(), platform::SW_SHOWNORMAL);
        else
            platform::Dialogs::current().message(
                QStringLiteral("The Grelmond.txt file was not found in: ") +
                    QFileInfo(shown).path(),
                title_(), platform::MsgIcon::Exclamation);
        return;
    }
    open(QStringLiteral("/Grelmond.txt"), QString(), platform::SW_SHOWNORMAL,
         QStringLiteral("The Grelmond.txt file was not found in: "), false);
}
