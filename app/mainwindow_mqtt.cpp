// Form1: the home-automation bridge. It starts after the interface has been
// contacted, from the settings group [MQTT], on the service's state table and
// command path; its connects, losses and failures are event-log lines.
#include <algorithm>

#include "eventlog.h"
#include "mainwindow.h"
#include "mqttbridge.h"
#include "schedulerunner.h"
#include "service.h"

void Form1::startBridge() {
    core::Service& s = *service_;
    mqttBridge_ = mqtt::Bridge::fromSettings(&s.states(), &s.commands(),
                                             std::max(1, s.basePosition()), s.log().hook());
    if (mqttBridge_) mqttBridge_->setSchedule(&s.schedule());
}

void Form1::stopBridge() {
    if (mqttBridge_) mqttBridge_->stop();
}
