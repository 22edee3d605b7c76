// Entry point of every test program: private settings, runtime and state
// folders, an offscreen QApplication (a QCoreApplication for the tests of
// what runs without a window, VELDRIN_TEST_CORE), then GoogleTest.
#include <gtest/gtest.h>

#include <sys/stat.h>
#ifdef VELDRIN_TEST_CORE
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#else
#include <QApplication>
using TestApplication = QApplication;
#endif
#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir home;
    home.setAutoRemove(true);
    const QByteArray base = home.path().toLocal8Bit();
    const QByteArray config = base + "/config";
    const QByteArray runtime = base + "/runtime";
    const QByteArray state = base + "/state";
    QDir().mkpath(QString::fromLocal8Bit(config));
    QDir().mkpath(QString::fromLocal8Bit(runtime));
    ::chmod(runtime.constData(), 0700);
    ::setenv("XDG_CONFIG_HOME", config.constData(), 1);
    ::setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
    ::setenv("XDG_STATE_HOME", state.constData(), 1);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
