// The state table: the rules that move it, the decoding of received events
// and its file.
#include "statetable.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextStream>
#include <algorithm>
#include <iterator>

#include "atomicfile.h"
#include "clock.h"
#include "regularfile.h"
#include "settingsstore.h"
#include "timebase.h"
#include "x10.h"

namespace state {

namespace {

// A change reaches the file within this time, so that a process killed
// without warning loses at most that much; the changes of a burst share one
// save.
constexpr qint64 kSaveDelayMs = 200;
// A state file is a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxFileBytes = 1024 * 1024;
const QString kFileHeader = QStringLiteral("veldrin-state 1");

// Functions that change the state of the units addressed before them (a
// STATUS REQUEST asks, and changes nothing).
bool unitFunction(int f) {
    return f == x10::On || f == x10::Off || f == x10::Dim || f == x10::Bright ||
           f == x10::PresetDim1 || f == x10::PresetDim2 || f == x10::StatusOn ||
           f == x10::StatusOff;
}

QString powerText(Power p) {
    return p == Power::On ? QStringLiteral("ON") : QStringLiteral("OFF");
}

const char* const kSourceNames[] = {"none", "click",    "remote", "powerline",
                                    "mqtt", "schedule", "web"};
static_assert(std::size(kSourceNames) == size_t(Source::Web) + 1, "a name for every source");

}  // namespace

StateTable::StateTable(QObject* parent) : QObject(parent) {
    autosaveTimer_.setSingleShot(true);
    connect(&autosaveTimer_, &QTimer::timeout, this, [this] { flush(); });
}

void StateTable::setModules(const ModuleList& modules) {
    modules_ = modules;
}

const ModuleState& StateTable::state(Address a) const {
    static const ModuleState kUnknown;
    if (!a.valid() || a.unit == 0) return kUnknown;
    return table_[size_t(indexOf(a))];
}

bool StateTable::dims(Address a) const {
    const Module* m = modules_.find(a);
    return !m || m->kind == Kind::Lamp;
}

void StateTable::set(Address a, Power power, int level, Source source) {
    if (!a.valid() || a.unit == 0) return;
    if (!dims(a)) level = -1;
    ModuleState& s = table_[size_t(indexOf(a))];
    if (s.power == power && s.level == level) return;
    s.power = power;
    s.level = level;
    s.changed = platform::Clock::global().now();
    s.source = source;
    emit changed(a);
    scheduleSave();
}

ModuleState StateTable::after(const ModuleState& s, int function, int amount, bool lamp,
                              bool dims) {
    ModuleState n = s;
    // The level a DIM or BRIGHT starts from, and an ON's: a lamp that is off
    // or whose level is unknown comes on at full brightness first.
    const int from = (s.power == Power::On && s.level >= 0) ? s.level : 100;
    auto to = [&](Power p, int level) {
        n.power = p;
        n.level = dims ? level : -1;
    };
    switch (function) {
        case x10::AllUnitsOff:
        case x10::Off:
        case x10::StatusOff:
            to(Power::Off, 0);
            break;
        case x10::AllLightsOff:
            if (lamp) to(Power::Off, 0);
            break;
        case x10::AllLightsOn:
            if (lamp) to(Power::On, from);
            break;
        case x10::On:
        case x10::StatusOn:
            to(Power::On, from);
            break;
        case x10::Dim:
        case x10::Bright: {
            if (!dims) break;  // appliance modules ignore dimming
            const int step = std::max(amount, 0);
            const int level = std::clamp(function == x10::Dim ? from - step : from + step, 0, 100);
            to(level > 0 ? Power::On : Power::Off, level);
            break;
        }
        case x10::PresetDim1:
        case x10::PresetDim2:
            if (dims) {
                const int level = x10::presetPercent(amount);
                to(level > 0 ? Power::On : Power::Off, level);
            }
            break;
        default:
            break;
    }
    return n;
}

void StateTable::apply(int house, const std::vector<int>& unitsIn, int function, int amount,
                       Source source) {
    if (house < 1 || house > 16) return;
    std::vector<int> units;
    std::vector<int>& addressed = addressed_[size_t(house - 1)];
    if (x10::isHouseFunction(function)) {
        for (int u = 1; u <= 16; ++u) units.push_back(u);
    } else if (unitFunction(function)) {
        for (int u : unitsIn)
            if (u >= 1 && u <= 16 && std::find(units.begin(), units.end(), u) == units.end())
                units.push_back(u);
        if (units.empty())
            units = addressed;
        else
            addressed = units;
    }
    for (int u : units) {
        const Address a{house, u};
        const ModuleState n = after(state(a), function, amount, modules_.isLamp(a), dims(a));
        set(a, n.power, n.level, source);
    }
}

void StateTable::setLevel(Address a, int percent, Source source) {
    const int level = std::clamp(percent, 0, 100);
    set(a, level > 0 ? Power::On : Power::Off, level, source);
}

void StateTable::recordReply(const ModuleReply& reply) {
    const Address a = reply.address;
    if (!a.valid() || a.unit == 0) return;
    const ModuleState& s = state(a);
    int level = reply.level;
    if (level < 0) level = reply.on ? ((s.power == Power::On && s.level >= 0) ? s.level : 100) : 0;
    set(a, reply.on ? Power::On : Power::Off, level, Source::Powerline);
    ModuleState& m = table_[size_t(indexOf(a))];
    const Answer answer = modules_.isTwoWay(a) ? Answer::Confirmed : m.answer;
    const signed char load = reply.load >= 0 ? reply.load : m.load;
    if (m.answer == answer && m.load == load) return;
    m.answer = answer;
    m.load = load;
    emit changed(a);
}

void StateTable::setAnswer(Address a, Answer answer) {
    if (!a.valid() || a.unit == 0) return;
    ModuleState& m = table_[size_t(indexOf(a))];
    if (m.answer == answer) return;
    m.answer = answer;
    emit changed(a);
}

// An EXTENDED CODE heard: a preset level moves its unit, a status reply is
// the module's own word. Other command bytes change nothing.
void StateTable::applyExtended(const x10::HeardEvent& event) {
    if (event.extendedCommand == x10::kExtStatusReply) {
        for (const ModuleReply& r : moduleReplies(event)) recordReply(r);
        return;
    }
    if (event.extendedCommand != x10::kExtPresetLevel || event.amount < 0) return;
    for (const x10::Address& a : event.addresses)
        if (a.house == event.house && a.unit >= 1)
            setLevel(a, x10::extPercent(event.amount & 0x3F), Source::Powerline);
}

void StateTable::applyHeard(const x10::HeardEvent& event) {
    HeardEvent ev;
    if (event.kind == x10::HeardEvent::Kind::Macro) {
        ev.kind = HeardEvent::Kind::Macro;
        ev.macro = event.macro;
        emit heard(ev);
        return;
    }
    ev.function = event.function;
    ev.house = event.house;
    if (ev.house < 1 || ev.house > 16) return;
    // Only the addresses of the function's house take it.
    for (const x10::Address& a : event.addresses) {
        if (a.house == ev.house && a.unit >= 1 && a.unit <= 16 &&
            std::find(ev.units.begin(), ev.units.end(), a.unit) == ev.units.end())
            ev.units.push_back(a.unit);
    }
    if (ev.function == x10::Dim || ev.function == x10::Bright || ev.function == x10::PresetDim1 ||
        ev.function == x10::PresetDim2 || ev.function == x10::ExtendedCode)
        ev.amount = event.amount;
    if (x10::isHouseFunction(ev.function)) {
        ev.units.clear();
    } else if (ev.units.empty() && unitFunction(ev.function)) {
        ev.units = addressed_[size_t(ev.house - 1)];
    }
    if (ev.function == x10::ExtendedCode) {
        applyExtended(event);
    } else if (ev.function == x10::StatusOn || ev.function == x10::StatusOff) {
        apply(ev.house, ev.units, ev.function, ev.amount, Source::Powerline);
        for (int u : ev.units) recordReply({Address{ev.house, u}, ev.function == x10::StatusOn});
    } else {
        apply(ev.house, ev.units, ev.function, ev.amount, Source::Powerline);
    }
    emit heard(ev);
}

QString StateTable::functionName(int function) {
    if (function < 0 || function > 15) return QStringLiteral("FUNCTION %1").arg(function);
    return x10::functionName(function);
}

QString StateTable::macroText(int bytes) {
    // Each byte in hexadecimal without a leading zero: "12F" for 0x01 0x2F.
    const auto hex = [](int b) { return QString::number(b & 0xFF, 16).toUpper(); };
    return hex(bytes >> 8) + hex(bytes);
}

QString StateTable::describe(const HeardEvent& ev) {
    if (ev.kind == HeardEvent::Kind::Macro) return QStringLiteral("macro ") + macroText(ev.macro);
    QStringList parts;
    const int house = std::clamp(ev.house, 1, 16);
    for (int u : ev.units) parts << Address{house, u}.text();
    if (parts.isEmpty()) parts << Address{house, 0}.text();
    parts << functionName(ev.function);
    if ((ev.function == x10::Dim || ev.function == x10::Bright) && ev.amount >= 0)
        parts << QString::number(ev.amount) + u'%';
    else if ((ev.function == x10::PresetDim1 || ev.function == x10::PresetDim2 ||
              ev.function == x10::ExtendedCode) &&
             ev.amount >= 0)
        parts << QString::number(ev.amount);
    return parts.join(u' ');
}

// ---------------------------------------------------------------------------
// The state file: a header line, then one line for each address that is not
// unknown: "A5 ON 100 2026-12-08T11:19:05Z click" (level -1 when unknown).

QString StateTable::defaultPath() {
    return platform::stateFolder() + QStringLiteral("/state");
}

void StateTable::load(const QString& path) {
    const platform::FileRead file = platform::readRegularFile(path, kMaxFileBytes);
    if (file.status == platform::FileRead::Missing) return;
    if (file.status == platform::FileRead::Failed) {
        emit problem(QStringLiteral("ERROR: Could not Read the State File %1: %2; Every Module "
                                    "Starts Unknown")
                         .arg(path, file.error));
        return;
    }
    const std::optional<std::array<ModuleState, 256>> read = parse(file.data);
    if (!read) {
        emit problem(QStringLiteral("WARNING: The State File %1 is Damaged; Every Module Starts "
                                    "Unknown")
                         .arg(path));
        return;
    }
    for (int i = 0; i < 256; ++i) {
        if ((*read)[size_t(i)].power == Power::Unknown) continue;
        table_[size_t(i)] = (*read)[size_t(i)];
        emit changed(addressAt(i));
    }
}

std::optional<std::array<ModuleState, 256>> StateTable::parse(const QByteArray& data) {
    std::array<ModuleState, 256> read{};
    QTextStream in(data);
    if (in.readLine() != kFileHeader) return std::nullopt;
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.trimmed().isEmpty()) continue;
        const QStringList p = line.split(u' ');
        if (p.size() != 5) return std::nullopt;  // damaged: nothing of it is trusted
        const std::optional<Address> a = parseModule(p[0]);
        bool ok = false;
        const int level = p[2].toInt(&ok);
        const QDateTime when = QDateTime::fromString(p[3], Qt::ISODate);
        int source = -1;
        for (int i = 0; i < int(std::size(kSourceNames)); ++i)
            if (p[4] == QLatin1String(kSourceNames[i])) source = i;
        if (!a || !ok || level < -1 || level > 100 || !when.isValid() || source < 0 ||
            (p[1] != QLatin1String("ON") && p[1] != QLatin1String("OFF")))
            return std::nullopt;
        ModuleState& s = read[size_t(indexOf(*a))];
        s.power = p[1] == QLatin1String("ON") ? Power::On : Power::Off;
        s.level = level;
        s.changed = when;
        s.source = Source(source);
    }
    return read;
}

bool StateTable::save(const QString& path, QString* error) const {
    if (path.isEmpty()) return false;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QString text = kFileHeader + u'\n';
    for (int i = 0; i < 256; ++i) {
        const ModuleState& s = table_[size_t(i)];
        if (s.power == Power::Unknown) continue;
        const QDateTime when =
            s.changed.isValid() ? s.changed.toUTC() : QDateTime::fromSecsSinceEpoch(0).toUTC();
        text += QStringLiteral("%1 %2 %3 %4 %5\n")
                    .arg(addressAt(i).text(), powerText(s.power), QString::number(s.level),
                         when.toString(Qt::ISODate), QLatin1String(kSourceNames[int(s.source)]));
    }
    return platform::writeFileAtomically(path, text.toUtf8(), error);
}

void StateTable::setAutosave(const QString& path) {
    autosavePath_ = path;
}

void StateTable::scheduleSave() {
    dirty_ = true;
    if (autosavePath_.isEmpty() || autosaveTimer_.isActive()) return;
    platform::TimeBase::global().startTimer(autosaveTimer_, kSaveDelayMs);
}

void StateTable::flush() {
    autosaveTimer_.stop();
    if (!dirty_ || autosavePath_.isEmpty()) return;
    QString error;
    if (save(autosavePath_, &error)) {
        dirty_ = false;
        saveFailing_ = false;
        return;
    }
    // Once per streak of failures: the autosave tries again after every
    // change, up to five times a second.
    if (saveFailing_) return;
    saveFailing_ = true;
    emit problem(
        QStringLiteral("ERROR: Could not Save the State File %1: %2").arg(autosavePath_, error));
}

QString StateTable::heardLine(const HeardEvent& event) {
    return QStringLiteral("Received ") + describe(event);
}

QString StateTable::sourceName(Source source) {
    const auto i = size_t(source);
    return QLatin1String(i < std::size(kSourceNames) ? kSourceNames[i] : kSourceNames[0]);
}

}  // namespace state
