#include "moduletable.h"

#include "x10.h"

#include <algorithm>
#include <array>

namespace sim {

using namespace x10;

namespace {
QString unitName(char house, int unit) {
    return QString::fromLatin1("%1%2").arg(house).arg(unit);
}

constexpr std::array<const char*, 3> kKindNames = {"oneway", "twoway-lamp", "twoway-appliance"};
}  // namespace

QString moduleKindName(ModuleKind kind) {
    return QString::fromLatin1(kKindNames[size_t(kind)]);
}

std::optional<ModuleKind> moduleKindFromName(const QString& name) {
    const QString n = name.trimmed().toLower();
    if (n == "lamp" || n == "appliance") return ModuleKind::OneWay;
    for (size_t i = 0; i < kKindNames.size(); ++i)
        if (n == QLatin1String(kKindNames[i])) return ModuleKind(i);
    return std::nullopt;
}

std::optional<QList<ModuleKindAt>> parseModuleKinds(const QString& text, QString* error) {
    QList<ModuleKindAt> out;
    for (const QString& item : text.split(',', Qt::SkipEmptyParts)) {
        const qsizetype eq = item.indexOf('=');
        const auto address =
            eq < 0 ? std::nullopt : Address::parse(QStringView(item).left(eq).trimmed());
        const auto kind = eq < 0 ? std::nullopt : moduleKindFromName(item.mid(eq + 1));
        if (!address || address->unit == 0 || !kind) {
            if (error)
                *error = "not ADDRESS=KIND (KIND oneway, twoway-lamp or twoway-appliance): " +
                         item.trimmed();
            return std::nullopt;
        }
        out.append({address->letter(), address->unit, *kind});
    }
    if (out.isEmpty()) {
        if (error) *error = QStringLiteral("no module given");
        return std::nullopt;
    }
    return out;
}

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
            setBrightness(s, 100);
            return name + " ON";
        case Off:
            s.on = false;
            return name + " OFF";
        case Dim:
        case Bright: {
            const QString line = QString::fromLatin1("%1 %2 %3%")
                                     .arg(name, fn == Dim ? "DIM" : "BRIGHT")
                                     .arg(percent);
            // An appliance module does not dim.
            if (s.kind == ModuleKind::TwoWayAppliance) return line;
            // A lamp that is off comes on at full brightness before dimming.
            if (!s.on) s.brightness = 100;
            s.on = true;
            setBrightness(s, std::clamp(s.brightness + (fn == Dim ? -percent : percent), 0, 100));
            return line;
        }
        default:
            return name + ' ' + functionName(fn);
    }
}

void ModuleTable::setBrightness(State& s, int percent) {
    // An appliance is either off or fully on.
    s.brightness = s.kind == ModuleKind::TwoWayAppliance ? 100 : percent;
    s.level = extLevel(s.brightness);
}

void ModuleTable::applyPercent(State& s, int percent) {
    s.on = percent > 0;
    if (s.on || s.kind != ModuleKind::TwoWayLamp) setBrightness(s, percent);
}

QStringList ModuleTable::houseWide(char house, int fn) {
    for (auto& [key, s] : m_modules) {
        if (key.first != house) continue;
        s.known = true;
        if (fn == AllUnitsOff) s.on = false;
        // Lamp functions leave appliance modules alone when those say what
        // they are; a plain module takes them, as always.
        if (s.kind == ModuleKind::TwoWayAppliance) continue;
        if (fn == AllLightsOff) s.on = false;
        if (fn == AllLightsOn) {
            s.on = true;
            setBrightness(s, 100);
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
        applyPercent(module(m_lastHouse, unit), percent);
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
    if (command == kExtPresetLevel) {
        const int level = data & 0x3F;
        const int percent = extPercent(level);
        applyPercent(s, percent);
        QString line =
            QString::fromLatin1("%1 EXTENDED PRESET %2%").arg(unitName(house, unit)).arg(percent);
        if (s.kind == ModuleKind::TwoWayLamp) {
            // The lamp keeps the exact step it was given.
            if (level > 0) s.level = level;
            line += QString::fromLatin1(" (level %1)").arg(level);
        }
        return {line};
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
            applyPercent(module(house, unit), percent);
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

void ModuleTable::setKind(char house, int unit, ModuleKind kind) {
    State& s = m_modules[{house, unit}];
    s.kind = kind;
    if (s.on) setBrightness(s, s.brightness);
}

void ModuleTable::setLoad(char house, int unit, bool connected) {
    m_modules[{house, unit}].load = connected;
}

void ModuleTable::atWall(char house, int unit, int percent) {
    applyPercent(module(house, unit), std::clamp(percent, 0, 100));
}

QList<int> ModuleTable::lastUnits(char house) const {
    return m_lists[size_t(house - 'A')].units;
}

std::optional<uchar> ModuleTable::extendedStatus(char house, int unit) const {
    const State s = state(house, unit);
    if (s.kind == ModuleKind::OneWay) return std::nullopt;
    int data = s.on ? s.level : 0;
    if (s.kind == ModuleKind::TwoWayAppliance) data |= 0x40;
    if (s.load) data |= 0x80;
    return uchar(data);
}

std::optional<bool> ModuleTable::statusOn(char house, int unit) const {
    const State s = state(house, unit);
    if (s.kind == ModuleKind::OneWay) return std::nullopt;
    return s.on;
}

ModuleTable::State ModuleTable::state(char house, int unit) const {
    const auto it = m_modules.find({house, unit});
    return it == m_modules.end() ? State{} : it->second;
}

QStringList ModuleTable::table() const {
    QStringList lines;
    for (const auto& [key, s] : m_modules) {
        if (!s.known && s.kind == ModuleKind::OneWay) continue;
        const QString name = unitName(key.first, key.second);
        QString line =
            s.on ? QString::fromLatin1("%1 ON %2%").arg(name).arg(s.brightness) : name + " OFF";
        QStringList notes;
        if (s.on && s.kind == ModuleKind::TwoWayLamp)
            notes << QString::fromLatin1("level %1").arg(s.level);
        if (!s.load) notes << QStringLiteral("no load");
        if (!notes.isEmpty()) line += " (" + notes.join(", ") + ')';
        lines << line;
    }
    return lines;
}

void ModuleTable::clear() {
    m_modules.clear();
    m_lists = {};
    m_lastHouse = 0;
}

}  // namespace sim
