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
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
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
                         if (!retained && t == u"veldrin/A5/state" && p == wanted)
                             stateAt = clock.nsecsElapsed();
                     });
    QObject::connect(&hub, &mqtt::Client::connected, &hub,
                     [&] { hub.subscribe(QStringLiteral("veldrin/A5/state")); });
    hub.start();
    if (!pumpUntil([&] { return hub.isConnected(); }, 5000)) return 1;
    pumpUntil([] { return false; }, 200);

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
