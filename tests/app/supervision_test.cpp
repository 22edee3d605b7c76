// The window with its two-way interface supervised: an adapter unplugged and
// plugged in again under the same name, one that appears only after the
// start, and what commands do while no interface answers.
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "appfixture.h"
#include "clicklabel.h"
#include "host.h"
#include "twips.h"

namespace {

const QString kFound = QStringLiteral("Found Pandrel Interface on Com: 1 Connection Established");
const QString kNotSent = QStringLiteral("Interface not available: command not sent");

class Supervision : public AppTest {
  protected:
    // COM1 names a link in a private folder, as the names under
    // /dev/serial/by-id do; plugIn points it at the emulator's device.
    void SetUp() override {
        AppTest::SetUp();
        ASSERT_TRUE(dir.isValid());
        link = dir.path() + "/adapter";
        mapPort(1, link);
    }
    void plugIn(sim::TwoWaySim& sim) {
        QFile::remove(link);
        ASSERT_TRUE(QFile::link(sim.devicePath(), link));
    }
    int linesStartingWith(const QString& text) const {
        return int(
            logTexts().filter(QRegularExpression("^" + QRegularExpression::escape(text))).size());
    }
    QByteArray exchange(QTcpSocket& s, const QByteArray& line) {
        s.write(line);
        testenv::pumpUntil([&] { return s.canReadLine(); }, 3000);
        return s.canReadLine() ? s.readLine().trimmed() : QByteArray();
    }
    void logIn(QTcpSocket& s) {
        window->service().setPassword("pw");
        s.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(window->lLocalPort));
        ASSERT_TRUE(s.waitForConnected(3000));
        ASSERT_EQ(exchange(s, "pw\r\n"), "OK");
    }
    static bool switchedOn(const sim::TwoWaySim& sim, const QString& module) {
        return sim.moduleLines().contains(module + " ON");
    }

    QTemporaryDir dir;
    QString link;
};

}  // namespace

TEST_F(Supervision, UnpluggedAdapterIsFoundAgainByItselfAndMeanwhileNothingPretends) {
    auto& sim = twoWayOn(9);
    plugIn(sim);
    Form1& w = load();
    ASSERT_EQ(w.Label3->backColor(), ui::kGreen);
    QTcpSocket s;
    logIn(s);

    // Unplugged: the device goes, and so does its name (a number of a
    // pseudo-terminal is soon taken again by another test process).
    sim.unplug();
    QFile::remove(link);
    ASSERT_TRUE(testenv::pumpUntil(
        [&] { return linesStartingWith("ERROR: Pandrel Interface Lost on Com: 1 - ") == 1; }));
    EXPECT_EQ(w.Label3->backColor(), ui::kRed);
    EXPECT_FALSE(w.commandPath()->interfaceReady());
    // A remote word hears that nothing was sent; so does the event log.
    EXPECT_EQ(exchange(s, "5on\r\n"), "ERROR Interface not available");
    EXPECT_EQ(linesStartingWith(kNotSent), 1);
    // Several retries fail; the log says so once.
    EXPECT_TRUE(platform::waitFor([&] { return w.service().interface().retries() >= 3; }, 30000));
    EXPECT_EQ(linesStartingWith("ERROR: Pandrel Interface Still Not Found on Com: 1 - " + link +
                                " Does Not Exist - Retrying in the Background"),
              1)
        << logTexts().join('\n').toStdString();
    EXPECT_EQ(logTexts().count(kFound), 1);

    // Back under the same name: found without anyone asking, and commands go
    // through again.
    ASSERT_TRUE(sim.start());
    sim.clearRecords();
    sim.clearModuleLines();
    plugIn(sim);
    ASSERT_TRUE(testenv::pumpUntil([&] { return logTexts().count(kFound) == 2; }));
    EXPECT_EQ(logTexts().first(), kFound);
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    EXPECT_TRUE(w.commandPath()->interfaceReady());
    EXPECT_FALSE(w.service().interface().supervising());
    EXPECT_FALSE(switchedOn(sim, "A5"));  // nothing refused went out later
    EXPECT_EQ(exchange(s, "5on\r\n"), "OK");
    EXPECT_TRUE(testenv::pumpUntil([&] { return switchedOn(sim, "A5"); }));
}

TEST_F(Supervision, AnAdapterThatAppearsAfterTheStartIsFoundAndUsed) {
    Form1& w = load();
    EXPECT_EQ(w.Label3->backColor(), ui::kRed);
    // A click and a bridge command before the adapter is there send nothing
    // and say so.
    w.Label1_MouseDown(2, 1, 0, 0, 0);
    w.commandPath()->switchUnit(state::Address{1, 4}, true, state::Source::Mqtt);
    EXPECT_EQ(logTexts().mid(0, 2),
              QStringList({"Interface not available: MQTT command dropped", kNotSent}));

    auto& sim = twoWayOn(9);
    plugIn(sim);
    ASSERT_TRUE(testenv::pumpUntil([&] { return logTexts().contains(kFound); }));
    // The start-up lines are as they always were.
    EXPECT_EQ(logTexts().mid(logTexts().size() - 3),
              QStringList({"Listening for a connection...",
                           "ERROR: Pandrel Interface Not Found on Com: 1",
                           "Attempting to Contact Computer Interface..."}));
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    w.Label1_MouseDown(2, 1, 0, 0, 0);
    EXPECT_TRUE(testenv::pumpUntil([&] { return switchedOn(sim, "A3"); }));
    EXPECT_FALSE(switchedOn(sim, "A4"));
}

// An interface that falls silent while its adapter stays plugged in: the
// remote word waiting for it and the next one hear why, the strip and the
// service's status say it in words, and it is found again by itself.
TEST_F(Supervision, ASilentInterfaceIsNamedEverywhereAndFoundAgain) {
    auto& sim = twoWayOn(9);
    plugIn(sim);
    Form1& w = load();
    ASSERT_EQ(w.Label3->backColor(), ui::kGreen);
    QTcpSocket s;
    logIn(s);

    // The word is taken before anything can know; the silence is noticed on it.
    sim.setSilent(true);
    EXPECT_EQ(exchange(s, "5on\r\n"), "OK");
    const QString lost = "ERROR: Pandrel Interface Lost on Com: 1 - Interface not answering";
    ASSERT_TRUE(testenv::pumpUntil([&] { return linesStartingWith(lost) == 1; }));
    EXPECT_EQ(exchange(s, "6on\r\n"), "ERROR Interface not answering");
    EXPECT_EQ(w.Label3->backColor(), ui::kRed);
    EXPECT_TRUE(w.Label3->toolTip().startsWith("Interface not answering."));
    EXPECT_EQ(w.host().status(), "Interface not answering on " + link + ", trying again");

    sim.setSilent(false);
    ASSERT_TRUE(testenv::pumpUntil([&] { return logTexts().count(kFound) == 2; }));
    EXPECT_EQ(w.Label3->backColor(), ui::kGreen);
    EXPECT_TRUE(w.Label3->toolTip().startsWith("Interface found."));
    EXPECT_EQ(w.host().status(), "Interface found on " + link);
    EXPECT_FALSE(switchedOn(sim, "A5"));
    EXPECT_EQ(exchange(s, "7on\r\n"), "OK");
    EXPECT_TRUE(testenv::pumpUntil([&] { return switchedOn(sim, "A7"); }));
    EXPECT_FALSE(switchedOn(sim, "A6"));
}
