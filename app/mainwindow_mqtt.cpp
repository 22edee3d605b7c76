// Form1: the home-automation bridge. It starts after the interface has been
// contacted, from the settings group [MQTT], in the window and in
// --headless alike; its connects, losses and failures are event-log lines.
#include <algorithm>

#include "appstate.h"
#include "mainwindow.h"
#include "mqttbridge.h"
#include "state/address.h"

void Form1::startBridge() {
    const QString house = appState().sHouseCode;
    const int baseHouse = std::max(1, veldrin::x10::housePosition(house));
    mqttBridge_ = mqtt::Bridge::fromSettings(stateTable(), commandPath(), baseHouse,
                                             [this](const QString& line) { Log_Event(line); });
}

void Form1::stopBridge() {
    if (mqttBridge_) mqttBridge_->stop();
}
