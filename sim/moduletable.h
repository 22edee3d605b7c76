#pragma once
// The emulated powerline: the state of every module that a command reached,
// and one readable text line per command put on the line.
//
// Every address holds a plain one-way module unless told otherwise. A two-way
// lamp keeps its level in the 64 steps of the extended preset level (0..63)
// and can answer status requests; a two-way appliance is on or off and can
// answer too. The table only models the modules; answering on the line is the
// interface emulator's job (TwoWaySim).

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <array>
#include <map>
#include <optional>
#include <utility>

namespace sim {

// The kind of module at an address, named as in the program's [Modules]
// ("twoway-lamp", "twoway-appliance"); "oneway" is the plain module.
enum class ModuleKind { OneWay, TwoWayLamp, TwoWayAppliance };
QString moduleKindName(ModuleKind kind);
// Accepts the names above; "lamp" and "appliance" are plain one-way modules.
std::optional<ModuleKind> moduleKindFromName(const QString& name);

struct ModuleKindAt {
    char house = 'A';
    int unit = 1;
    ModuleKind kind = ModuleKind::OneWay;
};
// "A1=twoway-lamp,A2=twoway-appliance" (blanks and either case allowed).
// nullopt and *error on bad input.
std::optional<QList<ModuleKindAt>> parseModuleKinds(const QString& text, QString* error = nullptr);

class ModuleTable {
  public:
    struct State {
        bool known = false;  // some command has reached this module
        bool on = false;
        int brightness = 0;  // percent, 0..100
        ModuleKind kind = ModuleKind::OneWay;
        // Extended level 0..63 while on (kept while off): a two-way lamp's
        // own level; for other kinds derived from the brightness.
        int level = 0;
        bool load = true;  // a bulb or appliance is connected and works
    };

    // X10 addressing: addresses accumulate per house until a function for that
    // house arrives; the next address after a function starts a new list.
    void address(char house, int unit);

    // A function for a house ('A'..'P'); percent is the DIM/BRIGHT amount.
    // Returns the lines it produced: one per addressed unit for unit
    // functions ("A5 ON", "A5 DIM 32%"), one for house-wide ones ("A ALL LIGHTS ON").
    QStringList function(char house, int fn, int percent = 0);

    // Preset dim level 0..31, acting on the units addressed last (the house
    // nibble of a preset dim carries the level, not the house).
    QStringList presetDim(int level);

    // Extended code to one unit. Command 0x31 (preset level, data 0..63) sets
    // the brightness; others are only reported.
    QStringList extended(char house, int unit, uchar data, uchar command);

    // A command that names its units itself instead of relying on earlier
    // addresses. For fn == Dim, percent is the absolute target level.
    QStringList direct(char house, const QList<int>& units, int fn, int percent = 0);

    // Kind of the module at an address; setting it keeps its on/off state.
    void setKind(char house, int unit, ModuleKind kind);
    // A bulb present (true) or missing / burnt out (false).
    void setLoad(char house, int unit, bool connected);
    // Somebody at the wall set the module to percent (0 off, 100 full); no
    // line is produced since nothing crossed the powerline.
    void atWall(char house, int unit, int percent);

    // Units of a house that the last function for it went to.
    QList<int> lastUnits(char house) const;
    // The data byte of the answer to an extended status request: the level,
    // bit 6 for an appliance, bit 7 with a load. nullopt for a one-way module.
    std::optional<uchar> extendedStatus(char house, int unit) const;
    // The answer to STATUS REQUEST (true: STATUS ON); nullopt for a one-way module.
    std::optional<bool> statusOn(char house, int unit) const;

    State state(char house, int unit) const;
    // One line per known or two-way module, sorted: "A5 ON 100%", "A6 OFF";
    // a two-way lamp adds its level ("A1 ON 48% (level 30)"), a module
    // without load says so ("A1 OFF (no load)").
    QStringList table() const;
    void clear();

  private:
    struct HouseList {
        QList<int> units;
        bool functionSeen = false;
    };
    State& module(char house, int unit);
    QStringList houseWide(char house, int fn);
    QString unitFunction(char house, int unit, int fn, int percent);
    static void setBrightness(State& s, int percent);
    // On at percent (0: off); a two-way lamp that goes off keeps its level.
    static void applyPercent(State& s, int percent);

    std::map<std::pair<char, int>, State> m_modules;
    std::array<HouseList, 16> m_lists{};
    char m_lastHouse = 0;
};

}  // namespace sim
