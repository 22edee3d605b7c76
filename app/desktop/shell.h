#pragma once
// The shell's "open" verb and the program folder.
//
// Opening a program starts it detached with its arguments; a name ending in
// ".exe" and the same name without it are the same file, whichever exists.
// What a file is decides, not its execute bit: an ELF file or a script
// starting with "#!" is a program, any other file a document, which goes to
// the desktop (QDesktopServices::openUrl). The result follows the shell's convention:
// above 32 when done, 2 when the file does not exist, 31 when it exists but
// could not be started or handed over.

#include <QString>
#include <QStringList>
#include <functional>

namespace platform {

enum ShowMode { SW_HIDE = 0, SW_SHOWNORMAL = 1 };

constexpr int kShellNotFound = 2;
constexpr int kShellFailed = 31;
constexpr int kShellDone = 42;

// Folder of the program file, without a trailing separator. The environment
// variable VELDRIN_PROGRAM_DIR or setProgramFolder() replace it (tests put a
// stand-in service host into a temporary folder this way).
QString programFolder();
void setProgramFolder(const QString& folder);  // "" goes back to the default

// The file that "open" would use for a name: the name itself, or its twin
// with or without ".exe". Empty when neither exists.
QString resolveShellFile(const QString& file);

// Whether the file is a program (ELF, or a script with "#!"), by its first bytes.
bool isProgramFile(const QString& path);

// Opens file with a parameter string (split like a command line: quoted
// parts stay together). The show mode has no meaning for a detached process
// here and is accepted for the callers' sake.
int shellOpen(const QString& file, const QString& parameters, int showMode);

// What actually starts programs and shows documents. Tests replace it.
struct ShellLauncher {
    std::function<bool(const QString& program, const QStringList& args)> startProgram;
    std::function<bool(const QString& path)> openDocument;
};
void setShellLauncher(const ShellLauncher& launcher);  // empty members: the real ones
ShellLauncher defaultShellLauncher();

}  // namespace platform
