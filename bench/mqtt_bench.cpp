// Latency of the MQTT bridge on loopback, on the core service as the daemon
// veldrind assembles them (under QCoreApplication, no window), the interface
// being the emulated two-way one, and a private mosquitto broker on a free
// local port:
//   bench_mqtt [count]   (default 200; about a quarter second each)
// For each "veldrin/A5/set" it measures the time from publishing it to the
// first frame of the command on the serial line (on an idle line the control
// sends it at the next turn of the event loop), and the time from the interface's confirmation (the
// state table's change) to "veldrin/A5/state" at a subscriber. Prints median
// and p99 of both.
//
// Before that, what the hub is given for the 16 lamps of the base house, all
// on: the retained messages and their bytes a hub finds on the broker
// (configs and states), the messages of one change of level, and the time
// from Home Assistant's "online" to the last config announced again.
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "benchbroker.h"
#include "corebench.h"
#include "eventlog.h"
#include "mqttbridge.h"
#include "mqttclient.h"
#include "service.h"
#include "settingsstore.h"
#include "twowaysim.h"

using bench::percentile;
using bench::pumpUntil;

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    QTemporaryDir home;
    bench::privateHome(home);
    QCoreApplication app(argc, argv);

    // The broker. set_tcp_nodelay: it passes each small message on at once,
    // so the figures are the program's and not the broker's Nagle delay.
    QProcess broker;
    const int port =
        bench::startBroker(broker, home.path(), QStringLiteral("set_tcp_nodelay true\n"));
    if (port == 0) return 1;

    sim::TwoWaySim sim;
    if (!sim.start()) {
        std::fprintf(stderr, "cannot start the emulator\n");
        return 1;
    }
    platform::SaveSetting("veldrin", "Ports", "COM1", sim.devicePath());
    platform::SaveSetting("veldrin", "Startup", "ListenPort", "0");
    platform::SaveSetting("veldrin", "MQTT", "Host", "127.0.0.1");
    platform::SaveSetting("veldrin", "MQTT", "Port", QString::number(port));
    platform::SaveSetting("veldrin", "MQTT", "ClientId", "veldrin-bench");
    core::Service service(core::ServiceSettings::read());
    bench::LogTail logTail(service.log());
    service.load();
    service.start();
    const std::unique_ptr<mqtt::Bridge> bridge = mqtt::Bridge::fromSettings(
        &service.states(), &service.commands(), std::max(1, service.basePosition()),
        [&service](const QString& line) { service.log().event(line); });
    if (!bridge || !pumpUntil([&] { return bridge->client().isConnected(); }, 10000)) {
        std::fprintf(stderr, "the bridge did not connect\n");
        logTail.print();
        return 1;
    }

    // The hub: publishes the commands and watches the state.
    mqtt::ConnectOptions o;
    o.host = QStringLiteral("127.0.0.1");
    o.port = port;
    o.clientId = QStringLiteral("bench-hub");
    mqtt::Client hub(o, {});
    QElapsedTimer clock;
    clock.start();
    qint64 stateAt = -1;
    QByteArray wanted;
    QObject::connect(&hub, &mqtt::Client::message, &hub,
                     [&](const QString& t, const QByteArray& p, bool retained) {
                         // A lamp's state is JSON ({"state":"ON",...}).
                         const QByteArray word = p.startsWith('{')
                                                     ? QJsonDocument::fromJson(p)
                                                           .object()
                                                           .value(QStringLiteral("state"))
                                                           .toString()
                                                           .toUtf8()
                                                     : p;
                         if (!retained && t == u"veldrin/A5/state" && word == wanted)
                             stateAt = clock.nsecsElapsed();
                     });
    QObject::connect(&hub, &mqtt::Client::connected, &hub,
                     [&] { hub.subscribe(QStringLiteral("veldrin/A5/state")); });
    hub.start();
    if (!pumpUntil([&] { return hub.isConnected(); }, 5000)) return 1;
    pumpUntil([] { return false; }, 200);

    // The 16 lamps on, then what the broker holds for them.
    std::vector<int> units;
    for (int u = 1; u <= 16; ++u) units.push_back(u);
    const int house = std::max(1, service.basePosition());
    service.states().apply(house, units, 2, -1, state::Source::Click);
    pumpUntil([] { return false; }, 500);
    int retained = 0;
    qint64 retainedBytes = 0;
    QSet<QString> configTopics;
    {
        mqtt::ConnectOptions lo = o;
        lo.clientId = QStringLiteral("bench-late");
        mqtt::Client late(lo, {});
        QObject::connect(&late, &mqtt::Client::connected, &late,
                         [&] { late.subscribe(QStringLiteral("#")); });
        QObject::connect(&late, &mqtt::Client::message, &late,
                         [&](const QString& t, const QByteArray& p, bool isRetained) {
                             // The lamps' own: their configs and their topics.
                             const bool lamp =
                                 t.startsWith(u"homeassistant/light/") ||
                                 (t.startsWith(u"veldrin/") && t.section(u'/', 1, 1).size() >= 2 &&
                                  t.section(u'/', 1, 1).at(1).isDigit());
                             if (t.startsWith(u"homeassistant/") && !p.isEmpty())
                                 configTopics.insert(t);
                             if (!isRetained || !lamp || p.isEmpty()) return;
                             ++retained;
                             retainedBytes += t.toUtf8().size() + p.size();
                         });
        late.start();
        pumpUntil([] { return false; }, 1500);
    }
    // One change of level: the messages the hub receives for it.
    int changeMessages = 0;
    bool counting = false;
    QObject::connect(&hub, &mqtt::Client::message, &hub,
                     [&](const QString& t, const QByteArray&, bool isRetained) {
                         if (counting && !isRetained && t.startsWith(u"veldrin/A5/"))
                             ++changeMessages;
                     });
    hub.subscribe(QStringLiteral("veldrin/A5/#"));
    pumpUntil([] { return false; }, 300);
    counting = true;
    service.states().apply(house, {5}, 4, 30, state::Source::Click);
    pumpUntil([] { return false; }, 500);
    counting = false;
    // Home Assistant starts again: every config is announced again.
    QSet<QString> again;
    qint64 lastConfigAt = -1;
    QObject::connect(&hub, &mqtt::Client::message, &hub,
                     [&](const QString& t, const QByteArray& p, bool isRetained) {
                         if (isRetained || p.isEmpty() || !configTopics.contains(t)) return;
                         again.insert(t);
                         lastConfigAt = clock.nsecsElapsed();
                     });
    hub.subscribe(QStringLiteral("homeassistant/+/+/+/config"));
    pumpUntil([] { return false; }, 500);
    const qint64 onlineAt = clock.nsecsElapsed();
    hub.publish(QStringLiteral("homeassistant/status"), "online", false);
    pumpUntil([&] { return again.size() == configTopics.size(); }, 10000);
    const double republishMs = lastConfigAt < 0 ? -1 : (lastConfigAt - onlineAt) / 1e6;
    std::printf("Home Assistant for 16 lamps, all on\n");
    std::printf("  retained for the lamps: %d messages, %lld bytes (topics and payloads)\n",
                retained, static_cast<long long>(retainedBytes));
    std::printf("  one change of level: %d message(s)\n", changeMessages);
    std::printf("  Home Assistant online to the last of %lld configs announced again: %.1f ms\n",
                static_cast<long long>(configTopics.size()), republishMs);
    std::printf("FIGURE mqtt_retained_16_lamps_msgs %d\nFIGURE mqtt_retained_16_lamps_bytes %lld\n",
                retained, static_cast<long long>(retainedBytes));
    std::printf("FIGURE mqtt_messages_per_level_change %d\n", changeMessages);
    std::printf("FIGURE mqtt_online_to_last_config_ms %.1f\n", republishMs);
    std::fflush(stdout);

    // The latency rounds start from off, so the first ON changes the state.
    service.states().apply(house, units, 3, -1, state::Source::Click);
    pumpUntil([] { return false; }, 300);

    qint64 confirmedAt = -1;
    QObject::connect(&service.states(), &state::StateTable::changed, &service,
                     [&](state::Address a) {
                         if (a.text() == u"A5") confirmedAt = clock.nsecsElapsed();
                     });

    std::vector<double> toLine, toState;
    QRandomGenerator rng(7410);
    for (int i = 0; i < count; ++i) {
        const int pause = static_cast<int>(rng.bounded(250));
        pumpUntil([] { return false; }, pause);
        sim.clearRecords();
        confirmedAt = stateAt = -1;
        wanted = i % 2 ? "OFF" : "ON";
        const qint64 t0 = sim::monotonicMs();
        // QoS 0, as a hub sends commands by default.
        hub.publish(QStringLiteral("veldrin/A5/set"), wanted, false, 0);
        if (!pumpUntil([&] { return sim.framedOnly().size() >= 2; }, 5000)) break;
        toLine.push_back(static_cast<double>(sim.framedOnly().front().tMs - t0));
        if (!pumpUntil([&] { return stateAt >= 0 && confirmedAt >= 0; }, 5000)) break;
        toState.push_back((stateAt - confirmedAt) / 1e6);
    }
    if (toState.size() != static_cast<size_t>(count)) logTail.print();
    std::printf("MQTT bridge over %zu commands on loopback\n", toLine.size());
    std::printf("  set published to the frame on the line: median %.1f ms, p99 %.1f ms\n",
                percentile(toLine, 0.5), percentile(toLine, 0.99));
    std::printf("  confirmation to the state at a subscriber: median %.2f ms, p99 %.2f ms\n",
                percentile(toState, 0.5), percentile(toState, 0.99));
    std::printf("FIGURE mqtt_line_median_ms %.1f\nFIGURE mqtt_line_p99_ms %.1f\n",
                percentile(toLine, 0.5), percentile(toLine, 0.99));
    std::printf("FIGURE mqtt_state_median_ms %.2f\nFIGURE mqtt_state_p99_ms %.2f\n",
                percentile(toState, 0.5), percentile(toState, 0.99));
    std::fflush(stdout);
    broker.kill();
    broker.waitForFinished(2000);
    ::_exit(toState.size() == static_cast<size_t>(count) ? 0 : 1);
}
