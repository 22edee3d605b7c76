#include "sysinfo.h"

#include <QProcess>
#include <QStandardPaths>

namespace platform {

QString systemInformationProgram() {
    for (const char* name : {"hardinfo", "kinfocenter", "gnome-system-monitor"}) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!path.isEmpty()) return path;
    }
    return {};
}

bool startSystemInformation() {
    const QString program = systemInformationProgram();
    if (program.isEmpty()) return false;
    return QProcess::startDetached(program, {});
}

}  // namespace platform
