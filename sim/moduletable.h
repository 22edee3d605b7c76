#pragma once
// The emulated powerline: the state of every module that a command reached,
// and one readable text line per command put on the line.

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <array>
#include <map>
#include <utility>

namespace sim {

class ModuleTable {
  public:
    struct State {
        bool known = false;  // some command has reached this module
        bool on = false;
        int brightness = 0;  // percent, 0..100
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

    State state(char house, int unit) const;
    // One line per known module, sorted: "A5 ON 100%", "A6 OFF".
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

    std::map<std::pair<char, int>, State> m_modules;
    std::array<HouseList, 16> m_lists{};
    char m_lastHouse = 0;
};

}  // namespace sim
