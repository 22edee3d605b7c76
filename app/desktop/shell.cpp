#include "shell.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace platform {

namespace {

QString& folderOverride() {
    static QString f;
    return f;
}

ShellLauncher& launcher() {
    static ShellLauncher l = defaultShellLauncher();
    return l;
}

bool existsAsFile(const QString& path) {
    const QFileInfo fi(path);
    return fi.exists() && !fi.isDir();
}

QString withoutTrailingSeparator(QString f) {
    while (f.size() > 1 && f.endsWith(QLatin1Char('/'))) f.chop(1);
    return f;
}

}  // namespace

QString programFolder() {
    if (!folderOverride().isEmpty()) return folderOverride();
    const QString env = qEnvironmentVariable("VELDRIN_PROGRAM_DIR");
    if (!env.isEmpty()) return withoutTrailingSeparator(env);
    return withoutTrailingSeparator(QCoreApplication::applicationDirPath());
}

void setProgramFolder(const QString& folder) {
    folderOverride() = folder.isEmpty() ? QString() : withoutTrailingSeparator(folder);
}

QString resolveShellFile(const QString& file) {
    if (file.isEmpty()) return {};
    if (existsAsFile(file)) return file;
    const QString exe = QStringLiteral(".exe");
    if (file.endsWith(exe, Qt::CaseInsensitive)) {
        const QString bare = file.left(file.size() - exe.size());
        if (existsAsFile(bare)) return bare;
    } else if (existsAsFile(file + exe)) {
        return file + exe;
    }
    return {};
}

bool isProgramFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return false;
    const QByteArray head = f.read(4);
    return head ==
               "\x7f"
               "ELF" ||
           head.startsWith("#!");
}

int shellOpen(const QString& file, const QString& parameters, int showMode) {
    Q_UNUSED(showMode);
    const QString path = resolveShellFile(file);
    if (path.isEmpty()) return kShellNotFound;
    const QFileInfo fi(path);
    // A program file is run, anything else is shown; a program that cannot
    // run (no execute permission, a missing interpreter) fails.
    const bool program = isProgramFile(path);
    bool ok = false;
    if (program) {
        const auto start =
            launcher().startProgram ? launcher().startProgram : defaultShellLauncher().startProgram;
        ok = start(fi.absoluteFilePath(), QProcess::splitCommand(parameters));
    } else {
        const auto open =
            launcher().openDocument ? launcher().openDocument : defaultShellLauncher().openDocument;
        ok = open(fi.absoluteFilePath());
    }
    return ok ? kShellDone : kShellFailed;
}

void setShellLauncher(const ShellLauncher& l) {
    launcher() = l;
}

ShellLauncher defaultShellLauncher() {
    ShellLauncher l;
    l.startProgram = [](const QString& program, const QStringList& args) {
        return QProcess::startDetached(program, args);
    };
    l.openDocument = [](const QString& path) {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    };
    return l;
}

}  // namespace platform
