#pragma once
// Shared set-up for the main-window tests: scripted dialogs, a fixed clock,
// a fast time base, a recorded process exit, and emulators on COM ports.

#include <gtest/gtest.h>

#include <QFile>
#include <QListWidget>
#include <QMenu>
#include <QStringList>
#include <memory>

#include "appstate.h"
#include "clock.h"
#include "commandpath.h"
#include "cp290sim.h"
#include "interface.h"
#include "mainwindow.h"
#include "mcp290.h"
#include "notifyicon.h"
#include "pad.h"
#include "processexit.h"
#include "scripteddialogs.h"
#include "service.h"
#include "settingsstore.h"
#include "state/statetable.h"
#include "testenv.h"
#include "timebase.h"
#include "twowaysim.h"

class AppTest : public ::testing::Test {
  protected:
    static constexpr double kScale = 20;

    void SetUp() override {
        platform::TimeBase::global().setScale(kScale);
        platform::Clock::global().setFixed(QDateTime(QDate(2024, 3, 5), QTime(14, 3, 27)));
        app::setExitHook([this](int code) {
            ++exits;
            exitCode = code;
        });
        NotifyIcon::setAvailableForTesting(std::nullopt);
        // Every test starts with no remembered module states.
        QFile::remove(state::StateTable::defaultPath());
        // The remote listener takes a free port, so test processes never collide.
        setStartup("ListenPort", "0");
    }
    void TearDown() override {
        window.reset();
        app::setExitHook({});
        NotifyIcon::setAvailableForTesting(std::nullopt);
    }

    // A two-way emulator on COM<port>.
    sim::TwoWaySim& twoWayOn(int port = 1) {
        twoWay = std::make_unique<sim::TwoWaySim>();
        twoWay->setTimeScale(kScale);
        EXPECT_TRUE(twoWay->start());
        mapPort(port, twoWay->devicePath());
        return *twoWay;
    }
    // A CP290 emulator on COM<port>.
    sim::Cp290Sim& cp290On(int port = 1) {
        cp290 = std::make_unique<sim::Cp290Sim>();
        cp290->setTimeScale(kScale);
        EXPECT_TRUE(cp290->start());
        mapPort(port, cp290->devicePath());
        return *cp290;
    }
    // COM<port> names a device that does not exist.
    static void mapPort(int port, const QString& device) {
        platform::SaveSetting("veldrin", "Ports", QStringLiteral("COM%1").arg(port), device);
    }
    static void setStartup(const QString& key, const QString& value) {
        platform::SaveSetting("veldrin", "Startup", key, value);
    }
    static QString startup(const QString& key) {
        return platform::GetSetting("veldrin", "Startup", key, QStringLiteral("<absent>"));
    }

    // Creates the window and runs its start-up.
    Form1& load() {
        window = std::make_unique<Form1>();
        window->Form_Load();
        return *window;
    }

    // Event-log lines, top first.
    QStringList logLines() const {
        QStringList out;
        for (int i = 0; i < window->lstEvents->count(); ++i)
            out << window->lstEvents->item(i)->text();
        return out;
    }
    // Event-log texts without the time and arrow, top first.
    QStringList logTexts() const {
        QStringList out;
        for (const QString& l : logLines()) out << l.mid(QStringLiteral("hh:mm:ss-->").size());
        return out;
    }

    ScriptedDialogs dialogs;
    std::unique_ptr<sim::TwoWaySim> twoWay;
    std::unique_ptr<sim::Cp290Sim> cp290;
    std::unique_ptr<Form1> window;
    int exits = 0;
    int exitCode = -1;
};
