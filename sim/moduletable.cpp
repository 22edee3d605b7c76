#include "moduletable.h"

#include "x10.h"

#include <algorithm>

namespace sim {

using namespace x10;

namespace {
QString unitName(char house, int unit) {
    return QString::fromLatin1("%1%2").arg(house).arg(unit);
}
}  // namespace

ModuleTable::State& ModuleTable::module(char house, int unit) {
    State& s = m_modules[{house, unit}];
    s.known = true;
    return s;
}

void ModuleTable::address(char house, int unit) {
    HouseList& l = m_lists[size_t(house - 'A')];
    if (l.functionSeen) {
        l.units.clear();
        l.functionSeen = false;
    }
    if (!l.units.contains(unit)) l.units.append(unit);
    m_lastHouse = house;
}

QString ModuleTable::unitFunction(char house, int unit, int fn, int percent) {
    State& s = module(house, unit);
    const QString name = unitName(house, unit);
    switch (fn) {
        case On:
            s.on = true;
            s.brightness = 100;
            return name + " ON";
        case Off:
            s.on = false;
            return name + " OFF";
        case Dim:
            // A lamp that is off comes on at full brightness before dimming.
            if (!s.on) s.brightness = 100;
            s.on = true;
            s.brightness = std::max(0, s.brightness - percent);
            return QString::fromLatin1("%1 DIM %2%").arg(name).arg(percent);
        case Bright:
            if (!s.on) s.brightness = 100;
            s.on = true;
            s.brightness = std::min(100, s.brightness + percent);
            return QString::fromLatin1("%1 BRIGHT %2%").arg(name).arg(percent);
        default:
            return name + ' ' + functionName(fn);
    }
}

QStringList ModuleTable::houseWide(char house, int fn) {
    for (auto& [key, s] : m_modules) {
        if (key.first != house) continue;
        if (fn == AllUnitsOff || fn == AllLightsOff) s.on = false;
        if (fn == AllLightsOn) {
            s.on = true;
            s.brightness = 100;
        }
    }
    return {QString(QChar::fromLatin1(house)) + ' ' + functionName(fn)};
}

QStringList ModuleTable::function(char house, int fn, int percent) {
    HouseList& l = m_lists[size_t(house - 'A')];
    l.functionSeen = true;
    m_lastHouse = house;
    if (!isUnitFunction(fn)) return houseWide(house, fn);
    QStringList lines;
    if (l.units.isEmpty()) {
        QString line = QString(QChar::fromLatin1(house)) + ' ' + functionName(fn);
        if (fn == Dim || fn == Bright) line += QString::fromLatin1(" %1%").arg(percent);
        return {line + " (no unit addressed)"};
    }
    for (int unit : l.units) lines << unitFunction(house, unit, fn, percent);
    return lines;
}

QStringList ModuleTable::presetDim(int level) {
    const int percent = (level * 100 + 15) / 31;
    if (m_lastHouse == 0)
        return {QString::fromLatin1("PRESET DIM %1% (no unit addressed)").arg(percent)};
    HouseList& l = m_lists[size_t(m_lastHouse - 'A')];
    l.functionSeen = true;
    QStringList lines;
    for (int unit : l.units) {
        State& s = module(m_lastHouse, unit);
        s.on = percent > 0;
        s.brightness = percent;
        lines << QString::fromLatin1("%1 PRESET DIM %2%")
                     .arg(unitName(m_lastHouse, unit))
                     .arg(percent);
    }
    if (lines.isEmpty())
        lines << QString::fromLatin1("%1 PRESET DIM %2% (no unit addressed)")
                     .arg(m_lastHouse)
                     .arg(percent);
    return lines;
}

QStringList ModuleTable::extended(char house, int unit, uchar data, uchar command) {
    State& s = module(house, unit);
    if (command == 0x31) {
        const int percent = ((data & 0x3F) * 100 + 31) / 63;
        s.on = percent > 0;
        s.brightness = percent;
        return {
            QString::fromLatin1("%1 EXTENDED PRESET %2%").arg(unitName(house, unit)).arg(percent)};
    }
    return {QString::fromLatin1("%1 EXTENDED %2 DATA %3")
                .arg(unitName(house, unit))
                .arg(command, 2, 16, QChar('0'))
                .arg(data, 2, 16, QChar('0'))
                .toUpper()};
}

QStringList ModuleTable::direct(char house, const QList<int>& units, int fn, int percent) {
    if (!isUnitFunction(fn)) return houseWide(house, fn);
    QStringList lines;
    for (int unit : units) {
        if (fn == Dim) {
            State& s = module(house, unit);
            s.on = percent > 0;
            s.brightness = percent;
            lines << QString::fromLatin1("%1 DIM %2%").arg(unitName(house, unit)).arg(percent);
        } else {
            lines << unitFunction(house, unit, fn, percent);
        }
    }
    if (lines.isEmpty())
        lines << QString(QChar::fromLatin1(house)) + ' ' + functionName(fn) +
                     " (no unit addressed)";
    return lines;
}

ModuleTable::State ModuleTable::state(char house, int unit) const {
    const auto it = m_modules.find({house, unit});
    return it == m_modules.end() ? State{} : it->second;
}

QStringList ModuleTable::table() const {
    QStringList lines;
    for (const auto& [key, s] : m_modules) {
        const QString name = unitName(key.first, key.second);
        lines << (s.on ? QString::fromLatin1("%1 ON %2%").arg(name).arg(s.brightness)
                       : name + " OFF");
    }
    return lines;
}

void ModuleTable::clear() {
    m_modules.clear();
    m_lists = {};
    m_lastHouse = 0;
}

}  // namespace sim
