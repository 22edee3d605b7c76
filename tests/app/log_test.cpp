// Event log, client log, caption and status labels.
#include <QAction>
#include <QListWidget>

#include "appfixture.h"
#include "clicklabel.h"
#include "optionsmenu.h"
#include "twips.h"

namespace {

class Log : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        mapPort(1, "/nonexistent/tty");
        load();
        window->lstEvents->clear();
    }
};

TEST_F(Log, LinesAreTimeStampedNewestOnTop) {
    Form1& w = *window;
    platform::Clock::global().setFixed(QDateTime(QDate(2024, 1, 1), QTime(9, 5, 7)));
    w.Log_Event("first");
    w.Log_Event("second");  // same second: still on top
    platform::Clock::global().setFixed(QDateTime(QDate(2024, 1, 1), QTime(23, 59, 59)));
    w.Log_Event("");
    EXPECT_EQ(logLines(), QStringList({"23:59:59-->", "09:05:07-->second", "09:05:07-->first"}));
    EXPECT_EQ(w.l_last_event->text(), "");
}

TEST_F(Log, EachLogKeepsItsNewestFiveThousandLines) {
    Form1& w = *window;
    for (int i = 1; i <= 6000; ++i) {
        w.Log_Event(QString::number(i));
        w.Log_ClientEvent(QString::number(i), 0);
    }
    for (QListWidget* list : {w.lstEvents, w.lstClients}) {
        ASSERT_EQ(list->count(), 5000);
        EXPECT_TRUE(list->item(0)->text().endsWith("-->6000"));
        EXPECT_TRUE(list->item(4999)->text().endsWith("-->1001"));
    }
}

TEST_F(Log, ClearEntriesEmptyTheirListsOnly) {
    Form1& w = *window;
    w.Log_Event("kept as last event");
    w.lstClients->addItem("client line");
    w.menu->mnuClrTopLog->trigger();
    EXPECT_EQ(w.lstEvents->count(), 0);
    EXPECT_EQ(w.lstClients->count(), 1);
    EXPECT_EQ(w.l_last_event->text(), "kept as last event");
    w.menu->mnuClrBotLog->trigger();
    EXPECT_EQ(w.lstClients->count(), 0);

    w.Log_Event("a");
    w.lstClients->addItem("b");
    w.menu->mnuClrAllLogs->trigger();
    EXPECT_EQ(w.lstEvents->count(), 0);
    EXPECT_EQ(w.lstClients->count(), 0);
    w.menu->mnuClrAllLogs->trigger();  // on empty lists: nothing happens
    EXPECT_EQ(w.lstEvents->count(), 0);
}

TEST_F(Log, EndallResetsClientsAndLogsTwoLines) {
    Form1& w = *window;
    w.iCClients = 3;
    w.connected = true;
    w.ConStatus(1);
    EXPECT_EQ(w.l_con_status->text(), "Clients Connected: 3");
    EXPECT_EQ(w.l_con_status->foreColor(), ui::kLogGreen);
    EXPECT_EQ(w.l_con_status->toolTip(),
              "Client(s) Are Connected: Click here to Terminate all Connections");

    emit w.l_con_status->clicked();
    EXPECT_EQ(w.iCClients, 0);
    EXPECT_FALSE(w.connected);
    EXPECT_EQ(w.l_con_status->foreColor(), ui::kRed);
    EXPECT_EQ(w.l_con_status->toolTip(), "Listening for Connections");
    EXPECT_EQ(logTexts(), QStringList({"Listening for a connection...",
                                       "All Connections were Forcefully Closed"}));
    EXPECT_EQ(w.windowTitle(), "Veldrin Pro (HouseCode: A) - 0");
}

TEST_F(Log, CaptionKeepsItsTitleAndReplacesCodeAndCount) {
    Form1& w = *window;
    w.service().setHouseCode("C");
    w.UpdateFormCap();
    EXPECT_EQ(w.windowTitle(), "Veldrin Pro (HouseCode: C) - 0");
    w.service().setHouseCode("AB");
    w.iCClients = 12;
    w.UpdateFormCap();
    EXPECT_EQ(w.windowTitle(), "Veldrin Pro (HouseCode: AB) - 12");
}

TEST_F(Log, LogLabelTogglesBetweenTheTwoHeights) {
    Form1& w = *window;
    const QPoint at = w.pos();
    EXPECT_EQ(w.Height(), 990);
    emit w.Label4->clicked();
    EXPECT_EQ(w.Height(), 3960);
    EXPECT_EQ(w.height(), 239);  // down to the bottom of the status label
    EXPECT_EQ(w.pos(), at);
    emit w.Label4->clicked();
    EXPECT_EQ(w.Height(), 990);
    EXPECT_EQ(w.height(), 41);
}

}  // namespace
