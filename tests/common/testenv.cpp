#include "testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QTimer>

namespace testenv {

QString configHome() {
    return qEnvironmentVariable("XDG_CONFIG_HOME");
}

QString settingsFile() {
    return configHome() + "/veldrin/veldrin.conf";
}

void writeSettings(const QString& iniText) {
    QDir().mkpath(configHome() + "/veldrin");
    QFile::remove(settingsFile());
    if (iniText.isEmpty()) return;
    QFile f(settingsFile());
    if (f.open(QIODevice::WriteOnly)) f.write(iniText.toUtf8());
}

QString readSettings() {
    QFile f(settingsFile());
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

bool pumpUntil(const std::function<bool()>& cond, int realMs) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() >= realMs) return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void pump(int realMs) {
    pumpUntil([] { return false; }, realMs);
}

QString binDir() {
    QString d = qEnvironmentVariable("VELDRIN_BIN_DIR");
    if (!d.isEmpty()) return d;
    return QCoreApplication::applicationDirPath();
}

}  // namespace testenv
