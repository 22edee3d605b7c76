// The host's status line: where the interface is, then each front end that
// the settings turn on and that did not start, with the reason its log line
// gave. Built from the settings as the daemon builds it; no contact is made.
#include <gtest/gtest.h>

#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include "eventlog.h"
#include "host.h"
#include "mqttbridge.h"
#include "service.h"
#include "serviceweb.h"
#include "testenv.h"

TEST(HostStatus, NamesEachFrontEndThatDidNotStart) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QTcpServer taken, closed;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const QString used = QString::number(taken.serverPort());
    const QString nobody = QString::number(closed.serverPort());
    closed.close();  // a port where no broker answers
    const QString device = dir.filePath("ttyUSB9");
    const QString readable = dir.filePath("password");
    QFile pw(readable);
    ASSERT_TRUE(pw.open(QIODevice::WriteOnly));
    pw.write("secret\n");
    pw.close();
    ASSERT_TRUE(QFile::setPermissions(
        readable, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));

    const struct {
        const char* name;
        QString settings;   // besides [Ports] and a free ListenPort
        bool passwordFile;  // the readable one given on the command line
        QString down;       // what follows the interface; empty: nothing
    } cases[] = {
        {"all up", "", false, ""},
        {"remote listener", "[Startup]\nListenPort=" + used + "\n", false,
         "Remote control cannot listen on 127.0.0.1 port " + used + ": "},
        {"page", "[Web]\nEnabled=true\nPort=" + used + "\n", false,
         "Web page not served: cannot listen on 127.0.0.1 port " + used + ": "},
        {"bridge without its password", "[MQTT]\nHost=127.0.0.1\nPasswordFile=" + device + "\n",
         false, "MQTT: "},
        {"broker away", "[MQTT]\nHost=127.0.0.1\nPort=" + nobody + "\n", false,
         "MQTT broker 127.0.0.1:" + nobody + " not connected"},
        {"password file refused", "", true, "remote control closed: the password file " + readable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testenv::writeSettings(
            "[Ports]\nCOM1=" + device + "\n" +
            (c.settings.startsWith("[Startup]") ? "" : "[Startup]\nListenPort=0\n") + c.settings);
        app::Host host;
        if (c.passwordFile) host.usePasswordFile(readable, nullptr);
        host.startFrontEnds();
        const QString status = host.status();
        const QString where = "Contacting the interface on " + device;
        if (c.down.isEmpty()) {
            EXPECT_EQ(status, where);
        } else {
            EXPECT_TRUE(status.startsWith(where + "; " + c.down)) << status.toStdString();
        }
    }
}

// The bridge's devices link to the page where other computers reach it:
// [Web] PublicURL when it is a web address, else the page's own address when
// that is not this computer's loopback one.
TEST(HostWiring, TheBridgeLinksToThePageWhereOthersReachIt) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const QString nobody = QString::number(closed.serverPort());
    closed.close();
    const QString hint = QStringLiteral("set [Web] PublicURL");
    const QString ignored = QStringLiteral("is not an http or https address with a host");
    const struct {
        QString publicUrl;
        QString linked;
        bool warned;
    } cases[] = {
        {"", "", false},  // 127.0.0.1: phones would open themselves
        {"https://house.example/veldrin/", "https://house.example/veldrin/", false},
        {"http://192.0.2.7:8410/", "http://192.0.2.7:8410/", false},
        {"house.example/veldrin/", "", true},
        {"ftp://house.example/", "", true},
        {"https:///veldrin/", "", true},
        {"javascript:alert(1)", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.publicUrl.toStdString());
        testenv::writeSettings("[Ports]\nCOM1=" + dir.filePath("ttyUSB9") +
                               "\n[Startup]\nListenPort=0\n[MQTT]\nHost=127.0.0.1\nPort=" + nobody +
                               "\n[Web]\nEnabled=true\nPort=0\nPublicURL=" + c.publicUrl + "\n");
        app::Host host;
        QStringList lines;
        QObject::connect(&host.service().log(), &core::EventLog::eventLine,
                         [&lines](const QString& line) { lines << line; });
        host.startFrontEnds();
        ASSERT_TRUE(host.bridge() && host.page());
        EXPECT_EQ(host.bridge()->pageUrl(), c.linked);
        EXPECT_EQ(lines.filter(ignored).size(), c.warned ? 1 : 0) << lines.join('\n').toStdString();
        EXPECT_EQ(lines.filter(hint).size(), c.linked.isEmpty() ? 1 : 0)
            << lines.join('\n').toStdString();
    }
    testenv::writeSettings({});
}
