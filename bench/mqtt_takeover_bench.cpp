// Two MQTT clients with one client id on a private mosquitto broker, as two
// instances started from one copied settings file would be:
//   bench_mqtt_takeover [seconds] [scale]   (default 60 logical seconds, time scale 20)
// Counts the connections the broker accepted from them (both clients' connect
// signals) within the given logical time, and the error lines that name the
// cause. The waits run on the time base, so the figure is for logical time:
// the default takes 3 real seconds. A scale of 1 measures real time.
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "benchbroker.h"
#include "mqttclient.h"
#include "timebase.h"

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const double scale = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 20.0;
    QTemporaryDir home;
    QCoreApplication app(argc, argv);
    QProcess broker;
    const int port = bench::startBroker(broker, home.path());
    if (port == 0) return 1;
    platform::TimeBase::global().setScale(scale);

    mqtt::ConnectOptions o;
    o.host = QStringLiteral("127.0.0.1");
    o.port = port;
    o.clientId = QStringLiteral("veldrin-copied");
    int connects = 0, causes = 0, lines = 0;
    const auto log = [&](const QString& line, platform::LogLevel) {
        ++lines;
        causes += line.contains(QStringLiteral("another client connected with the client id"));
    };
    mqtt::Client first(o, log), second(o, log);
    for (mqtt::Client* c : {&first, &second})
        QObject::connect(c, &mqtt::Client::connected, c, [&] { ++connects; });
    first.start();
    second.start();
    platform::waitEvents(qint64(seconds) * 1000);
    first.stop();
    second.stop();
    broker.kill();
    broker.waitForFinished();

    std::printf("Two clients with one client id, %d s of logical time (time scale %g)\n", seconds,
                scale);
    std::printf("  connections accepted: %d (%d log lines, %d naming the cause)\n", connects, lines,
                causes);
    std::printf("FIGURE mqtt_takeover_connections %d\nFIGURE mqtt_takeover_cause_lines %d\n",
                connects, causes);
    return 0;
}
