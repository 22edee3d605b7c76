#pragma once
// A private mosquitto broker for a bench: on a free loopback port, anonymous,
// without persistence, as the user running the bench (a broker started by
// root would switch to its own user, who cannot read the private folder).

#include <pwd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdio>

namespace bench {

// Starts mosquitto in broker, its configuration in folder (extraConf added to
// it) and returns its port once it accepts a connection; 0 (and a line on
// standard error) when it is not installed or does not start.
inline int startBroker(QProcess& broker, const QString& folder, const QString& extraConf = {}) {
    const QString mosquitto = QStandardPaths::findExecutable(
        QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    if (mosquitto.isEmpty()) {
        std::fprintf(stderr, "mosquitto is not installed\n");
        return 0;
    }
    int port = 0;
    {
        QTcpServer s;
        s.listen(QHostAddress::LocalHost, 0);
        port = s.serverPort();
    }
    QFile conf(QDir(folder).filePath(QStringLiteral("mosquitto.conf")));
    if (!conf.open(QIODevice::WriteOnly)) return 0;
    conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n"
                              "user %2\n")
                   .arg(port)
                   .arg(QString::fromLocal8Bit(::getpwuid(::getuid())->pw_name))
                   .toUtf8() +
               extraConf.toUtf8());
    conf.close();
    broker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    broker.setStandardOutputFile(QProcess::nullDevice());
    broker.start(mosquitto, {QStringLiteral("-c"), conf.fileName()});
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, quint16(port));
        if (s.waitForConnected(100)) return port;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    std::fprintf(stderr, "the broker did not start\n");
    return 0;
}

}  // namespace bench
