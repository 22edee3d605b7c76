#pragma once
// Shared fixture of the control tests: a two-way interface emulator on a
// pseudo-terminal, mapped to COM7, and a controlcm on it, in sped-up time.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <memory>

#include "pandrel/controlcm_probe.h"
#include "testenv.h"
#include "timebase.h"
#include "twowaysim.h"

using sim::TwoWaySim;

// Readable texts in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace pandreltest {

inline QByteArray hx(const char* h) {
    return QByteArray::fromHex(h);
}

inline QStringList hexList(const QList<TwoWaySim::Frame>& frames) {
    QStringList out;
    for (const auto& f : frames) out << QString::fromLatin1(f.bytes.toHex(' '));
    return out;
}

// A unique event name per test, so parallel test processes do not meet.
inline QString uniqueEventName() {
    static int n = 0;
    return QStringLiteral("pandrel_test_%1_%2").arg(QCoreApplication::applicationPid()).arg(++n);
}

class SimFixture : public ::testing::Test {
  protected:
    static constexpr double kScale = 20.0;
    static constexpr int kPort = 7;

    void SetUp() override {
        sim = std::make_unique<TwoWaySim>();
        ASSERT_TRUE(sim->start()) << sim->errorString().toStdString();
        setScale(kScale);
        testenv::writeSettings(
            QStringLiteral("[Ports]\nCOM%1=%2\n").arg(kPort).arg(sim->devicePath()));
        cm = std::make_unique<controlcm>();
        cm->setComport(kPort);
        eventName = uniqueEventName();
        cm->setEventName(eventName);
    }

    void TearDown() override {
        cm.reset();
        sim.reset();
        platform::TimeBase::global().setScale(1.0);
        ::shm_unlink(platform::NamedEvent::objectName(eventName).constData());
    }

    void setScale(double s) {
        platform::TimeBase::global().setScale(s);
        if (sim) sim->setTimeScale(s);
    }

    controlcmProbe::Private& d() { return controlcmProbe::d(*cm); }

    // Init against the answering emulator, then forget its records.
    void initReady() {
        ASSERT_EQ(cm->Init(), 0);
        ASSERT_TRUE(d().bReady);
        sim->clearRecords();
    }

    // Runs the event loop for a logical duration.
    static void run(qint64 logicalMs) { platform::waitEvents(logicalMs); }
    static bool runUntil(const std::function<bool()>& cond, qint64 logicalMs) {
        return platform::waitFor(cond, logicalMs);
    }
    static qint64 nowMs() { return platform::TimeBase::global().nowMs(); }

    // Calls f from the event loop after a logical delay.
    void later(qint64 logicalMs, std::function<void()> f) {
        QTimer::singleShot(static_cast<int>(platform::TimeBase::global().realMs(logicalMs)),
                           cm.get(), std::move(f));
    }

    // Calls f from the event loop once cond holds, checked every real
    // millisecond; for steps that must land inside an exchange whatever the
    // machine's load.
    void when(std::function<bool()> cond, std::function<void()> f) {
        auto* t = new QTimer(cm.get());
        t->setInterval(1);
        QObject::connect(t, &QTimer::timeout, t, [t, cond = std::move(cond), f = std::move(f)] {
            if (!cond()) return;
            t->stop();
            t->deleteLater();
            f();
        });
        t->start();
    }

    std::unique_ptr<TwoWaySim> sim;
    std::unique_ptr<controlcm> cm;
    QString eventName;
};

}  // namespace pandreltest
