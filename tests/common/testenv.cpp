#include "testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
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

std::pair<QString, QString> makeCertificate(const QString& name) {
    const QString dir = configHome();
    const QString cert = dir + "/" + name + "-cert.pem", key = dir + "/" + name + "-key.pem";
    QProcess openssl;
    openssl.start("openssl",
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost",
                   "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"});
    pumpUntil([&] { return openssl.state() == QProcess::NotRunning; }, 20000);
    if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        qWarning("openssl: %s", openssl.readAllStandardError().constData());
        return {};
    }
    return {cert, key};
}

}  // namespace testenv
