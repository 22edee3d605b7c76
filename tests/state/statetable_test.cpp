// The state table: the rules that move it, the decoding of received events
// and the state file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "heardevent.h"
#include "statetable.h"
#include "timebase.h"

namespace {

using state::Address;
using state::Power;
using state::Source;
using state::StateTable;

Address at(const char* text) {
    return *Address::parse(QString::fromLatin1(text));
}

// House A: A1 and A2 lamps, A3 an appliance; A4 and up not listed.
state::ModuleList houseA() {
    QStringList log;
    return state::ModuleList::fromEntries(
        {{"a1", "lamp,Hall lamp"}, {"A2", "LAMP"}, {"A3", "appliance,Fan"}}, true, "A",
        [&](const QString& l) { log << l; });
}

TEST(Modules, EntriesDefaultsAndBadLines) {
    QStringList log;
    const auto list =
        state::ModuleList::fromEntries({{"P16", "appliance,Pump"},
                                        {"A5", "lamp"},
                                        {"Q1", "lamp"},
                                        {"A17", "lamp"},
                                        {"B2", "dimmer"},
                                        {"a5", "appliance"}},
                                       true, "A", [&](const QString& l) { log << l; });
    ASSERT_EQ(list.modules().size(), 2u);
    EXPECT_EQ(list.modules()[0].address, at("A5"));
    EXPECT_EQ(list.modules()[0].name, "A5");
    EXPECT_EQ(list.modules()[1].name, "Pump");
    EXPECT_FALSE(list.isLamp(at("P16")));
    EXPECT_EQ(log.size(), 4);  // Q1, A17, the kind "dimmer", A5 twice

    const auto defaults = state::ModuleList::fromEntries({}, false, "c", nullptr);
    ASSERT_EQ(defaults.modules().size(), 16u);
    EXPECT_TRUE(defaults.isLamp(at("C16")));
    EXPECT_FALSE(defaults.isLamp(at("A1")));

    // A module address is written one plain way; the vocabulary's looser
    // reading (blanks, a leading zero, a whole house) does not name a module.
    EXPECT_FALSE(state::parseModule(u"A0"));
    EXPECT_FALSE(state::parseModule(u"A05"));
    EXPECT_FALSE(state::parseModule(u" A5"));
    EXPECT_FALSE(state::parseModule(u"A"));
    EXPECT_EQ(state::parseModule(u"p16"), at("P16"));
    EXPECT_EQ(state::addressAt(255).text(), "P16");
    EXPECT_EQ(state::indexOf(at("B1")), 16);
}

TEST(Modules, TwoWayKindsRoomsClassesAndPollMinutes) {
    QStringList log;
    const auto list =
        state::ModuleList::fromEntries({{"A1", "twoway-lamp,Hall, left,room=Hall"},
                                        {"A2", "TwoWay-Appliance"},
                                        {"A3", "sensor,Back door,class=Window, room = Garden "},
                                        {"A4", "sensor,x=y"},
                                        {"A5", "sensor,Gate,class=gate"},
                                        {"PollMinutes", "5"}},
                                       true, "A", [&](const QString& l) { log << l; });
    ASSERT_EQ(list.modules().size(), 5u);
    const state::Module& hall = list.modules()[0];
    EXPECT_TRUE(hall.twoWay);
    EXPECT_TRUE(list.isLamp(at("A1")));
    EXPECT_EQ(hall.name, "Hall, left");  // a comma in a name stays
    EXPECT_EQ(hall.room, "Hall");
    EXPECT_EQ(state::kindName(hall), "twoway-lamp");
    EXPECT_TRUE(list.isTwoWay(at("A2")));
    EXPECT_EQ(list.modules()[1].kind, state::Kind::Appliance);
    EXPECT_TRUE(list.modules()[2].window);
    EXPECT_EQ(list.modules()[2].room, "Garden");
    EXPECT_EQ(list.modules()[3].name, "x=y");  // not an option: part of the name
    EXPECT_FALSE(list.modules()[4].window);
    EXPECT_EQ(list.pollMinutes(), 5);
    EXPECT_EQ(log.size(), 1);  // the unknown class; PollMinutes is no address

    const auto bad = state::ModuleList::fromEntries({{"PollMinutes", "-1"}}, true, "A", nullptr);
    EXPECT_EQ(bad.pollMinutes(), state::ModuleList::kDefaultPollMinutes);
}

TEST(StateTable, DimAndBrightAmountsClampedAndFromFullWhenUnknown) {
    StateTable t;
    t.setModules(houseA());
    // Unknown level: a DIM starts from full brightness.
    t.applyHeard(testenv::heardEvent("A1", 1, 4, 30));
    EXPECT_EQ(t.state(at("A1")).power, Power::On);
    EXPECT_EQ(t.state(at("A1")).level, 70);
    EXPECT_EQ(t.state(at("A1")).source, Source::Powerline);
    t.applyHeard(testenv::heardEvent("A1", 1, 5, 20));
    EXPECT_EQ(t.state(at("A1")).level, 90);
    t.applyHeard(testenv::heardEvent("A1", 1, 5, 50));
    EXPECT_EQ(t.state(at("A1")).level, 100);  // clamped
    // A lone DIM acts on the units addressed last, as the modules do.
    t.applyHeard(testenv::heardEvent("", 1, 4, 100));
    EXPECT_EQ(t.state(at("A1")).level, 0);
    EXPECT_EQ(t.state(at("A1")).power, Power::Off);
    // Appliances ignore dimming; an address without a function changes nothing.
    t.applyHeard(testenv::heardEvent("A3", 1, 2));
    t.applyHeard(testenv::heardEvent("A3", 1, 4, 50));
    EXPECT_EQ(t.state(at("A3")).power, Power::On);
    EXPECT_EQ(t.state(at("A3")).level, -1);
    // Two addresses take one function; an address of another house does not.
    t.applyHeard(testenv::heardEvent("A2 B2 A4", 1, 3));
    EXPECT_EQ(t.state(at("A2")).power, Power::Off);
    EXPECT_EQ(t.state(at("A4")).power, Power::Off);
    EXPECT_EQ(t.state(at("B2")).power, Power::Unknown);
    // STATUS ON reports a unit on.
    t.applyHeard(testenv::heardEvent("A7", 1, 13));
    EXPECT_EQ(t.state(at("A7")).power, Power::On);
}

TEST(StateTable, PresetDimsSetTheLevelOfLampsOnly) {
    StateTable t;
    t.setModules(houseA());
    t.applyHeard(testenv::heardEvent("A1 A3", 1, x10::PresetDim1, 8));
    EXPECT_EQ(t.state(at("A1")).level, 26);  // 8 of 31, rounded
    EXPECT_EQ(t.state(at("A1")).power, Power::On);
    EXPECT_EQ(t.state(at("A3")).power, Power::Unknown);  // an appliance does not dim
    t.applyHeard(testenv::heardEvent("A1", 1, x10::PresetDim2, 31));
    EXPECT_EQ(t.state(at("A1")).level, 100);
    t.applyHeard(testenv::heardEvent("A1", 1, x10::PresetDim1, 0));
    EXPECT_EQ(t.state(at("A1")).power, Power::Off);
}

TEST(StateTable, AllUnitsOffVersusAllLightsOnLampsAndAppliances) {
    StateTable t;
    t.setModules(houseA());
    t.apply(at("A1").house, {1, 3, 9}, 2, 0,
            Source::Click);                       // A1 lamp, A3 appliance, A9 unlisted on
    t.applyHeard(testenv::heardEvent("", 1, 6));  // ALL LIGHTS OFF: lamps only
    EXPECT_EQ(t.state(at("A1")).power, Power::Off);
    EXPECT_EQ(t.state(at("A3")).power, Power::On);
    EXPECT_EQ(t.state(at("A9")).power, Power::On);
    t.applyHeard(testenv::heardEvent("", 1, 1));  // ALL LIGHTS ON: lamps only
    EXPECT_EQ(t.state(at("A1")).power, Power::On);
    EXPECT_EQ(t.state(at("A1")).level, 100);
    EXPECT_EQ(t.state(at("A2")).power, Power::On);
    EXPECT_EQ(t.state(at("A4")).power, Power::Unknown);
    t.applyHeard(testenv::heardEvent("", 1, 0));  // ALL UNITS OFF: every address of the house
    for (int u = 1; u <= 16; ++u)
        EXPECT_EQ(t.state(Address{at("A1").house, u}).power, Power::Off) << u;
    EXPECT_EQ(t.state(at("B1")).power, Power::Unknown);
}

TEST(StateTable, HeardEventsAndTheirLogTexts) {
    StateTable t;
    QList<state::HeardEvent> heard;
    QObject::connect(&t, &StateTable::heard, [&](const state::HeardEvent& e) { heard << e; });
    t.applyHeard(testenv::heardEvent("A5", 1, 2));
    t.applyHeard(testenv::heardEvent("A1 A5", 1, 3));
    t.applyHeard(testenv::heardEvent("A5", 1, 4, 30));
    t.applyHeard(testenv::heardEvent("A3", 1, 0));
    t.applyHeard(testenv::heardMacro(0x12F));
    QStringList texts;
    for (const auto& e : heard) texts << StateTable::describe(e);
    EXPECT_EQ(texts,
              QStringList({"A5 ON", "A1 A5 OFF", "A5 DIM 30%", "A ALL UNITS OFF", "macro 12F"}));
}

TEST(StateTable, FileRoundTripDamagedAndAutosave) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/veldrin/state";
    {
        StateTable t;
        t.applyHeard(testenv::heardEvent("A5", 1, 4, 40));
        t.applyHeard(testenv::heardEvent("P16", 16, 3));
        ASSERT_TRUE(t.save(path));
    }
    StateTable back;
    int changed = 0;
    QObject::connect(&back, &StateTable::changed, [&] { ++changed; });
    back.load(path);
    EXPECT_EQ(changed, 2);
    EXPECT_EQ(back.state(at("A5")).power, Power::On);
    EXPECT_EQ(back.state(at("A5")).level, 60);
    EXPECT_EQ(back.state(at("A5")).source, Source::Powerline);
    EXPECT_EQ(back.state(at("P16")).power, Power::Off);
    EXPECT_EQ(back.state(at("A1")).power, Power::Unknown);

    // A damaged line makes the whole file unknown; so does garbage.
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("A6 HALF 50 2024-01-01T00:00:00Z click\n");
    f.close();
    StateTable damaged;
    damaged.load(path);
    EXPECT_EQ(damaged.state(at("A5")).power, Power::Unknown);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(5000, '\xff'));
    f.close();
    damaged.load(path);
    damaged.load(dir.path() + "/missing");
    EXPECT_EQ(damaged.state(at("A5")).power, Power::Unknown);

    // Autosave: nothing until a change, then the file follows at flush.
    const QString auto_ = dir.path() + "/auto/state";
    StateTable t;
    t.setAutosave(auto_);
    t.flush();
    EXPECT_FALSE(QFile::exists(auto_));
    t.applyHeard(testenv::heardEvent("B2", 2, 2));
    t.flush();
    StateTable reread;
    reread.load(auto_);
    EXPECT_EQ(reread.state(at("B2")).power, Power::On);
}

// A change reaches the file within 200 ms, with the changes made meanwhile:
// a process killed without warning loses at most that much. Logical time
// runs at half speed, so that a timer late on a busy machine counts half.
TEST(StateTable, AChangeIsSavedWithin200Ms) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/state";
    platform::TimeBase& time = platform::TimeBase::global();
    time.setScale(0.5);
    StateTable t;
    t.setAutosave(path);
    const qint64 start = time.nowMs();
    t.applyHeard(testenv::heardEvent("A5", 1, 2));
    t.applyHeard(testenv::heardEvent("A6", 1, 2));
    const bool saved = platform::waitFor([&] { return QFile::exists(path); }, 5000);
    const qint64 took = time.nowMs() - start;
    time.setScale(1);
    ASSERT_TRUE(saved);
    EXPECT_LT(took, 600);
    StateTable reread;
    reread.load(path);
    EXPECT_EQ(reread.state(at("A6")).power, Power::On);
}

// What stands at the state path may be anything: a link to a device, a
// damaged file. Neither is read; each is said once, and so is a save that
// fails, until one succeeds again.
TEST(StateTable, UnreadableDamagedAndUnsavedFilesAreReported) {
    QTemporaryDir dir;
    StateTable t;
    QStringList problems;
    QObject::connect(&t, &StateTable::problem, [&](const QString& p) { problems << p; });

    const QString link = dir.path() + "/zero";
    ASSERT_TRUE(QFile::link("/dev/zero", link));
    t.load(link);
    t.load(dir.path() + "/missing");
    const QString damaged = dir.path() + "/damaged";
    QFile f(damaged);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("veldrin-state 1\nA5 ON 100\n");
    f.close();
    t.load(damaged);
    EXPECT_EQ(problems, QStringList({"ERROR: Could not Read the State File " + link +
                                         ": not a regular file; Every Module Starts Unknown",
                                     "WARNING: The State File " + damaged +
                                         " is Damaged; Every Module Starts Unknown"}));
    EXPECT_EQ(t.state(at("A5")).power, Power::Unknown);

    // A file where the state folder should be: every save fails.
    problems.clear();
    const QString blocker = dir.path() + "/blocker";
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    ASSERT_TRUE(QFile::rename(damaged, blocker));
    const QString path = blocker + "/state";
    t.setAutosave(path);
    auto change = [&t](int function) {
        t.applyHeard(testenv::heardEvent("B2", 2, function));
        t.flush();
    };
    change(2);
    change(3);
    ASSERT_EQ(problems.size(), 1);
    EXPECT_TRUE(problems[0].startsWith("ERROR: Could not Save the State File " + path + ": "))
        << problems[0].toStdString();
    ASSERT_TRUE(QFile::remove(blocker));
    change(2);
    EXPECT_TRUE(QFile::exists(path));
    ASSERT_TRUE(QDir(blocker).removeRecursively());
    ASSERT_TRUE(QFile::link("/dev/null", blocker));
    change(3);
    EXPECT_EQ(problems.size(), 2);
}

}  // namespace

// What a module says of itself, decoded into its entry: the extended status
// reply's level, kind and load bits, STATUS ON / OFF after its address, and a
// preset level heard from another controller. Two-way modules are marked as
// having answered; the others are not.
TEST(StateTable, RepliesHeardBecomeTheModulesState) {
    auto ext = [](int unit, int command, int data) {
        x10::HeardEvent e;
        e.house = 1;
        e.addresses = {{1, unit}};
        e.function = x10::ExtendedCode;
        e.amount = data;
        e.extendedCommand = command;
        return e;
    };
    struct Row {
        const char* what;
        x10::HeardEvent event;
        const char* module;
        Power power;
        int level;
        int load;
        state::Answer answer;
    };
    using state::Answer;
    const std::vector<Row> rows = {
        {"lamp at level 32 with its bulb", ext(1, 0x38, 0x80 | 32), "A1", Power::On,
         x10::extPercent(32), 1, Answer::Confirmed},
        {"lamp full, no load", ext(1, 0x38, 63), "A1", Power::On, 100, 0, Answer::Confirmed},
        {"lamp off", ext(1, 0x38, 0x80), "A1", Power::Off, 0, 1, Answer::Confirmed},
        {"appliance on (bit 6)", ext(2, 0x38, 0xC0 | 63), "A2", Power::On, -1, -1,
         Answer::Confirmed},
        {"appliance off", ext(2, 0x38, 0x40), "A2", Power::Off, -1, -1, Answer::Confirmed},
        {"STATUS ON of the appliance", testenv::heardEvent("A2", 1, x10::StatusOn), "A2", Power::On,
         -1, -1, Answer::Confirmed},
        {"STATUS OFF of the lamp", testenv::heardEvent("A1", 1, x10::StatusOff), "A1", Power::Off,
         0, -1, Answer::Confirmed},
        {"STATUS ON of a one-way lamp", testenv::heardEvent("A3", 1, x10::StatusOn), "A3",
         Power::On, 100, -1, Answer::Unasked},
        {"preset level 16 heard", ext(1, 0x31, 16), "A1", Power::On, x10::extPercent(16), -1,
         Answer::Unasked},
        {"preset level 0 heard", ext(1, 0x31, 0), "A1", Power::Off, 0, -1, Answer::Unasked},
        {"the request itself changes nothing", ext(1, 0x37, 0), "A1", Power::Unknown, -1, -1,
         Answer::Unasked},
    };
    QStringList log;
    const auto modules = state::ModuleList::fromEntries(
        {{"A1", "twoway-lamp"}, {"A2", "twoway-appliance"}, {"A3", "lamp"}}, true, "A",
        [&](const QString& l) { log << l; });
    for (const Row& r : rows) {
        StateTable t;
        t.setModules(modules);
        t.applyHeard(r.event);
        const state::ModuleState& s = t.state(at(r.module));
        EXPECT_EQ(s.power, r.power) << r.what;
        EXPECT_EQ(s.level, r.level) << r.what;
        EXPECT_EQ(s.load, r.load) << r.what;
        EXPECT_EQ(s.answer, r.answer) << r.what;
    }
    // Every extended level reads back as itself through its percent.
    for (int l = 0; l <= x10::kExtTopLevel; ++l) EXPECT_EQ(x10::extLevel(x10::extPercent(l)), l);
}

// A module marked not answering keeps its last known state; its answer
// brings it back, and a change of the answer alone is a change.
TEST(StateTable, NotAnsweringKeepsTheLastKnownState) {
    QStringList log;
    StateTable t;
    t.setModules(state::ModuleList::fromEntries({{"A1", "twoway-lamp"}}, true, "A",
                                                [&](const QString& l) { log << l; }));
    int changes = 0;
    QObject::connect(&t, &StateTable::changed, [&] { ++changes; });
    t.setLevel(at("A1"), 40, Source::Click);
    t.setAnswer(at("A1"), state::Answer::NotAnswering);
    t.setAnswer(at("A1"), state::Answer::NotAnswering);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(t.state(at("A1")).level, 40);
    EXPECT_EQ(t.state(at("A1")).power, Power::On);
    t.recordReply({at("A1"), true, 40, 1});
    EXPECT_EQ(t.state(at("A1")).answer, state::Answer::Confirmed);
    EXPECT_EQ(changes, 3);
}
