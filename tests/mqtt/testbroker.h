#pragma once
// A private mosquitto broker for one test: a free port on 127.0.0.1, its
// configuration in a temporary folder, no persistence. Optionally a password
// file made with mosquitto_passwd (then anonymous clients are refused).

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "mqttclient.h"

class TestBroker {
  public:
    TestBroker() = default;
    ~TestBroker();

    // Starts the broker; with a user, only that user and password may connect.
    bool start(const QString& user = {}, const QString& password = {});
    // Starts it again on the same port with the same configuration.
    bool restart();
    void kill();  // SIGKILL: no goodbye to the clients

    int port() const { return port_; }
    QString host() const { return QStringLiteral("127.0.0.1"); }

  private:
    bool launch();
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> proc_;
    int port_ = 0;
};

// A subscriber that records what it receives, over the program's own client.
class TestSubscriber {
  public:
    struct Message {
        QString topic;
        QByteArray payload;
        bool retained;
    };
    // Subscribes to pattern once connected (again after each reconnect).
    TestSubscriber(const TestBroker& broker, const QString& pattern,
                   const QString& clientId = QStringLiteral("test-subscriber"));
    bool waitConnected(int realMs = 5000);
    // Waits until a message on topic (with payload, when given) arrived.
    bool waitFor(const QString& topic, const QByteArray& payload = {}, int realMs = 5000);
    // The last payload on a topic; a null array when none came.
    QByteArray last(const QString& topic) const;
    bool publish(const QString& topic, const QByteArray& payload, bool retain = false);

    std::vector<Message> messages;
    QStringList log;
    mqtt::Client client;
};
