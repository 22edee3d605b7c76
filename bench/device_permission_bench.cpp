// The time from a device node appearing to the supervisor finding the
// interface on it, when the node may be opened only some time after it
// appears (udev gives it its group and mode a moment after the kernel made
// it). Two ways the moment comes: the node's mode changes (as udev's chmod
// and chown do), or nothing on the node changes (a permission given in
// another way), which leaves the retries within a second. The node is a
// plain file in a temporary folder; the permission check is the bench's own,
// so that it runs as root too. Real time.
//
//   bench_device_permission [delay ms before the node may be opened, default 300] [runs, default 5]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "interfacesupervisor.h"

namespace {

// One run: ms from the node appearing to found.
qint64 run(const QString& folder, int delayMs, bool changeMode) {
    const QString node = folder + "/ttyUSB0";
    QFile::remove(node);
    bool openable = false;
    core::InterfaceSupervisor s(
        [&] {
            return core::InterfaceSupervisor::Contact{openable, QStringLiteral("denied")};
        },
        nullptr, [&](const QString&) { return !openable; });
    qint64 foundAt = -1;
    QElapsedTimer clock;
    QObject::connect(&s, &core::InterfaceSupervisor::found, [&] { foundAt = clock.elapsed(); });
    s.supervise(node);
    // The node appears a little after supervision began, as on a plug-in.
    QTimer::singleShot(100, [&] {
        QFile f(node);
        f.open(QIODevice::WriteOnly);
        clock.start();
        QTimer::singleShot(delayMs, [&] {
            openable = true;
            if (changeMode)
                QFile::setPermissions(node, QFile::ReadOwner | QFile::WriteOwner |
                                                QFile::ReadGroup | QFile::WriteGroup);
        });
    });
    QElapsedTimer limit;
    limit.start();
    while (foundAt < 0 && limit.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    return foundAt;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int delayMs = argc > 1 ? std::atoi(argv[1]) : 300;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    QTemporaryDir dir;
    for (const bool changeMode : {true, false}) {
        std::vector<qint64> times;
        for (int i = 0; i < runs; ++i) times.push_back(run(dir.path(), delayMs, changeMode));
        std::sort(times.begin(), times.end());
        std::printf(
            "node openable %d ms after it appears, %s: found after %lld ms (median of %d, "
            "worst %lld ms)\n",
            delayMs, changeMode ? "its mode changes" : "nothing on the node changes",
            static_cast<long long>(times[times.size() / 2]), runs,
            static_cast<long long>(times.back()));
    }
    return 0;
}
