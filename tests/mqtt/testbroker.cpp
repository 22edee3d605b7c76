#include "testbroker.h"

#include <pwd.h>
#include <unistd.h>

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include "testenv.h"

namespace {

int freePort() {
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0)) return 0;
    return s.serverPort();
}

}  // namespace

TestBroker::~TestBroker() {
    kill();
}

bool TestBroker::start(const QString& user, const QString& password) {
    port_ = freePort();
    if (port_ == 0 || !dir_.isValid()) return false;
    // Started by root, the broker would switch to its own user, who cannot
    // read the temporary folder; it stays the user running the test.
    const passwd* pw = ::getpwuid(::getuid());
    QString conf = QStringLiteral("listener %1 127.0.0.1\npersistence false\nuser %2\n")
                       .arg(port_)
                       .arg(QString::fromLocal8Bit(pw ? pw->pw_name : "root"));
    if (!user.isEmpty()) {
        const QString pwfile = dir_.filePath(QStringLiteral("passwd"));
        QFile(pwfile).open(QIODevice::WriteOnly);
        if (QProcess::execute(QStringLiteral(VELDRIN_MOSQUITTO_PASSWD),
                              {QStringLiteral("-b"), pwfile, user, password}) != 0)
            return false;
        conf += QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(pwfile);
    } else {
        conf += QStringLiteral("allow_anonymous true\n");
    }
    QFile f(dir_.filePath(QStringLiteral("mosquitto.conf")));
    if (!f.open(QIODevice::WriteOnly)) return false;
    f.write(conf.toUtf8());
    f.close();
    return launch();
}

bool TestBroker::launch() {
    proc_ = std::make_unique<QProcess>();
    proc_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc_->setStandardOutputFile(QProcess::nullDevice());
    proc_->start(QStringLiteral(VELDRIN_MOSQUITTO),
                 {QStringLiteral("-c"), dir_.filePath(QStringLiteral("mosquitto.conf"))});
    if (!proc_->waitForStarted(5000)) return false;
    // Ready once it accepts a connection.
    return testenv::pumpUntil(
        [this] {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, quint16(port_));
            return s.waitForConnected(100);
        },
        10000);
}

bool TestBroker::restart() {
    kill();
    return launch();
}

void TestBroker::kill() {
    if (!proc_) return;
    proc_->kill();
    proc_->waitForFinished(5000);
    proc_.reset();
}

namespace {

mqtt::ConnectOptions subscriberOptions(const TestBroker& broker, const QString& clientId) {
    mqtt::ConnectOptions o;
    o.host = broker.host();
    o.port = broker.port();
    o.clientId = clientId;
    return o;
}

}  // namespace

TestSubscriber::TestSubscriber(const TestBroker& broker, const QString& pattern,
                               const QString& clientId)
    : client(subscriberOptions(broker, clientId), [this](const QString& l) { log << l; }) {
    QObject::connect(&client, &mqtt::Client::connected, &client,
                     [this, pattern] { client.subscribe(pattern); });
    QObject::connect(&client, &mqtt::Client::message, &client,
                     [this](const QString& t, const QByteArray& p, bool r) {
                         messages.push_back({t, p, r});
                     });
    client.start();
}

bool TestSubscriber::waitConnected(int realMs) {
    return testenv::pumpUntil([this] { return client.isConnected(); }, realMs);
}

bool TestSubscriber::waitFor(const QString& topic, const QByteArray& payload, int realMs) {
    return testenv::pumpUntil(
        [&] {
            for (const Message& m : messages)
                if (m.topic == topic && (payload.isNull() || m.payload == payload)) return true;
            return false;
        },
        realMs);
}

QByteArray TestSubscriber::last(const QString& topic) const {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it)
        if (it->topic == topic) return it->payload.isNull() ? QByteArray("") : it->payload;
    return {};
}

bool TestSubscriber::publish(const QString& topic, const QByteArray& payload, bool retain) {
    return client.publish(topic, payload, retain);
}
