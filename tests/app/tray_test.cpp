// Notification-area icon, window modes and where the popup menu opens.
#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QSystemTrayIcon>

#include "appfixture.h"
#include "clicklabel.h"
#include "optionsmenu.h"

namespace {

class Tray : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        mapPort(1, "/nonexistent/tty");
        NotifyIcon::setAvailableForTesting(true);
        load();
    }
    void release(QWidget* target, QPoint pos, Qt::MouseButton b = Qt::RightButton) {
        QMouseEvent e(QEvent::MouseButtonRelease, pos, target->mapToGlobal(pos), b, Qt::NoButton,
                      Qt::NoModifier);
        QApplication::sendEvent(target, &e);
    }
    bool menuOpen() const { return window->menu->mnuOp->isVisible(); }
    void closeMenu() { window->menu->mnuOp->hide(); }
};

TEST_F(Tray, MenuEntrySendsTheWindowAwayAndTheIconBringsItBack) {
    Form1& w = *window;
    w.menu->mnuCTRL->trigger();
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(appState().bInTray);
    EXPECT_TRUE(w.trayIcon->isShown());
    EXPECT_EQ(w.trayIcon->tip(), "Veldrin");
    EXPECT_EQ(w.menu->mnuCTRL->text(), "E&xpand Veldrin");

    // Right release on the icon: the menu with the bring-back entry in bold.
    w.TrayIcon_MouseMove(NotifyIcon::WM_RBUTTONUP);
    EXPECT_TRUE(menuOpen());
    EXPECT_EQ(w.menu->mnuOp->defaultAction(), w.menu->mnuCTRL);
    closeMenu();
    EXPECT_FALSE(w.isVisible());

    for (int message : {NotifyIcon::WM_LBUTTONUP, NotifyIcon::WM_LBUTTONDBLCLK}) {
        if (!appState().bInTray) w.mnuCTRL_Click();
        ASSERT_FALSE(w.isVisible());
        w.TrayIcon_MouseMove(message);
        EXPECT_TRUE(w.isVisible()) << message;
        EXPECT_FALSE(w.isMinimized());
        EXPECT_FALSE(appState().bInTray);
        EXPECT_FALSE(w.trayIcon->isShown());
        EXPECT_EQ(w.menu->mnuCTRL->text(), "Minimize Veldrin to System Tray");
        EXPECT_EQ(w.Height(), 990);
    }
    // Other messages do nothing.
    w.TrayIcon_MouseMove(512);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(menuOpen());
    EXPECT_EQ(NotifyIcon::messageFor(QSystemTrayIcon::Trigger), 514);
    EXPECT_EQ(NotifyIcon::messageFor(QSystemTrayIcon::DoubleClick), 515);
    EXPECT_EQ(NotifyIcon::messageFor(QSystemTrayIcon::Context), 517);
    EXPECT_EQ(NotifyIcon::messageFor(QSystemTrayIcon::MiddleClick), 0);
}

TEST_F(Tray, MinimisingSendsTheWindowAway) {
    Form1& w = *window;
    w.showMinimized();
    testenv::pumpUntil([&] { return !w.isVisible(); }, 2000);
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(appState().bInTray);
    w.TrayIcon_MouseMove(NotifyIcon::WM_LBUTTONUP);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.isMinimized());
}

TEST_F(Tray, InstalledServiceRefusesEveryTime) {
    Form1& w = *window;
    setStartup("Service", "1");
    w.menu->mnuCTRL->trigger();
    w.showMinimized();
    testenv::pumpUntil([&] { return dialogs.messages.size() == 2; }, 2000);
    ASSERT_EQ(dialogs.messages.size(), 2);
    for (const ShownMessage& m : dialogs.messages) {
        EXPECT_EQ(m.text, "Minimize will not work when Veldrin is Installed as a Service.");
        EXPECT_EQ(m.title, "Veldrin");
        EXPECT_EQ(m.icon, platform::MsgIcon::None);
    }
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.isMinimized());
    EXPECT_FALSE(appState().bInTray);
    EXPECT_EQ(w.menu->mnuCTRL->text(), "Minimize Veldrin to System Tray");

    setStartup("Service", "0");
    w.menu->mnuCTRL->trigger();
    EXPECT_FALSE(w.isVisible());
}

TEST_F(Tray, WithoutANotificationAreaTheWindowStays) {
    Form1& w = *window;
    NotifyIcon::setAvailableForTesting(false);
    w.lstEvents->clear();
    w.menu->mnuCTRL->trigger();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(appState().bInTray);
    EXPECT_FALSE(w.trayIcon->isShown());
    EXPECT_EQ(w.menu->mnuCTRL->text(), "Minimize Veldrin to System Tray");
    EXPECT_EQ(logTexts(),
              QStringList{"No System Tray on this Desktop: Veldrin stays on the Task Bar"});
    w.showMinimized();
    testenv::pump(100);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.isMinimized());
    // Minimising says it once more. (The missing interface's retries in the
    // background have a line of their own.)
    EXPECT_EQ(logTexts().filter("No System Tray").size(), 2) << logTexts().join('\n').toStdString();
    EXPECT_EQ(logTexts().size() - logTexts().filter("Still Not Found").size(), 2);
}

TEST_F(Tray, RightReleaseOpensTheMenuOnlyOnFreeSurfaceAndTheClickPad) {
    Form1& w = *window;
    w.Label4_Click();            // show the lists
    release(&w, QPoint(10, 8));  // where the hidden slider would be
    EXPECT_TRUE(menuOpen());
    EXPECT_EQ(w.menu->mnuOp->defaultAction(), w.menu->mnuCTRL);
    closeMenu();

    release(&w, QPoint(10, 8), Qt::LeftButton);
    release(&w, QPoint(10, 8), Qt::MiddleButton);
    EXPECT_FALSE(menuOpen());

    release(w.l_ClickPad, QPoint(3, 3));
    EXPECT_TRUE(menuOpen());
    closeMenu();

    for (QWidget* over :
         std::initializer_list<QWidget*>{w.Label1[4], w.Label3, w.Label4, w.l_status,
                                         w.lstEvents->viewport(), w.lstClients->viewport()}) {
        release(over, QPoint(2, 2));
        EXPECT_FALSE(menuOpen()) << over->objectName().toStdString();
        closeMenu();
    }
    w.Slider1->show();
    release(w.Slider1, QPoint(5, 5));
    EXPECT_FALSE(menuOpen());
}

}  // namespace
