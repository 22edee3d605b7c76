// The module list from the settings group [Modules].
#include "modules.h"

#include <algorithm>
#include <array>

#include "settingsfile.h"

namespace state {

namespace {
struct KindEntry {
    const char* name;
    Kind kind;
    bool twoWay;
};
constexpr std::array<KindEntry, 7> kKinds = {{
    {"lamp", Kind::Lamp, false},
    {"appliance", Kind::Appliance, false},
    {"twoway-lamp", Kind::Lamp, true},
    {"twoway-appliance", Kind::Appliance, true},
    {"motion", Kind::Motion, false},
    {"sensor", Kind::Sensor, false},
    {"remote", Kind::Remote, false},
}};
constexpr int kMaxPollMinutes = 7 * 24 * 60;
}  // namespace

QString kindName(const Module& m) {
    for (const KindEntry& k : kKinds)
        if (k.kind == m.kind && k.twoWay == m.twoWay) return QLatin1String(k.name);
    return QStringLiteral("lamp");
}

ModuleList ModuleList::fromSettings(const QString& baseHouse,
                                    const std::function<void(const QString&)>& log) {
    return fromSettings(settings::File::read(), baseHouse, log);
}

ModuleList ModuleList::fromSettings(const settings::File& file, const QString& baseHouse,
                                    const std::function<void(const QString&)>& log) {
    std::vector<std::pair<QString, QString>> entries;
    for (const auto& kv : file.section(QStringLiteral("Modules")).entries())
        entries.emplace_back(kv.first, kv.second);
    // A group that lists no module (empty, or PollMinutes alone) leaves the
    // defaults in force.
    const bool listsModules = std::any_of(entries.begin(), entries.end(), [](const auto& kv) {
        return kv.first.trimmed().compare(QLatin1String("PollMinutes"), Qt::CaseInsensitive) != 0;
    });
    if (!listsModules) {
        ModuleList list = fromEntries(entries, true, baseHouse, log);
        ModuleList defaults = fromEntries({}, false, baseHouse, log);
        defaults.pollMinutes_ = list.pollMinutes_;
        return defaults;
    }
    return fromEntries(entries, true, baseHouse, log);
}

ModuleList ModuleList::fromEntries(const std::vector<std::pair<QString, QString>>& entries,
                                   bool groupPresent, const QString& baseHouse,
                                   const std::function<void(const QString&)>& log) {
    ModuleList list;
    auto bad = [&](const QString& key, const QString& value, const QString& why) {
        if (log) log(QStringLiteral("Modules: ignored %1=%2 (%3)").arg(key, value, why));
    };
    if (groupPresent) {
        std::array<bool, 256> seen{};
        for (const auto& [key, value] : entries) {
            if (key.trimmed().compare(QLatin1String("PollMinutes"), Qt::CaseInsensitive) == 0) {
                bool ok = false;
                const int minutes = value.trimmed().toInt(&ok);
                if (ok && minutes >= 0 && minutes <= kMaxPollMinutes)
                    list.pollMinutes_ = minutes;
                else
                    bad(key, value, QStringLiteral("minutes must be 0 to %1").arg(kMaxPollMinutes));
                continue;
            }
            const std::optional<Address> a = parseModule(key.trimmed());
            if (!a) {
                bad(key, value, QStringLiteral("not an address A1 to P16"));
                continue;
            }
            QStringList fields = value.split(u',');
            const QString kindText = fields.takeFirst().trimmed();
            Module m;
            m.address = *a;
            const auto kind = std::find_if(kKinds.begin(), kKinds.end(), [&](const KindEntry& k) {
                return kindText.compare(QLatin1String(k.name), Qt::CaseInsensitive) == 0;
            });
            if (kind == kKinds.end()) {
                bad(key, value,
                    QStringLiteral("kind must be lamp, appliance, twoway-lamp, "
                                   "twoway-appliance, motion, sensor or remote"));
                continue;
            }
            m.kind = kind->kind;
            m.twoWay = kind->twoWay;
            if (seen[size_t(indexOf(*a))]) {
                bad(key, value, QStringLiteral("address listed twice"));
                continue;
            }
            seen[size_t(indexOf(*a))] = true;
            // Options are the trailing fields that read as one.
            while (!fields.isEmpty()) {
                const QString f = fields.last().trimmed();
                const qsizetype eq = f.indexOf(u'=');
                const QString option = eq < 0 ? QString() : f.left(eq).trimmed().toLower();
                const QString arg = eq < 0 ? QString() : f.mid(eq + 1).trimmed();
                if (option == QLatin1String("room")) {
                    m.room = arg;
                } else if (option == QLatin1String("class")) {
                    if (arg.compare(QLatin1String("window"), Qt::CaseInsensitive) == 0)
                        m.window = true;
                    else if (arg.compare(QLatin1String("door"), Qt::CaseInsensitive) != 0 && log)
                        log(QStringLiteral("Modules: %1: class must be door or window; "
                                           "door is used")
                                .arg(key.trimmed()));
                } else {
                    break;
                }
                fields.removeLast();
            }
            const QString name = fields.join(u',').trimmed();
            m.name = name.isEmpty() ? a->text() : name;
            list.modules_.push_back(m);
        }
        std::sort(list.modules_.begin(), list.modules_.end(), [](const Module& x, const Module& y) {
            return indexOf(x.address) < indexOf(y.address);
        });
        return list;
    }
    const int h = x10::housePosition(baseHouse);
    if (h == 0) return list;
    for (int u = 1; u <= 16; ++u) {
        Module m;
        m.address = Address{h, u};
        m.kind = Kind::Lamp;
        m.name = m.address.text();
        list.modules_.push_back(m);
    }
    return list;
}

const Module* ModuleList::find(Address a) const {
    for (const Module& m : modules_)
        if (m.address == a) return &m;
    return nullptr;
}

bool ModuleList::isLamp(Address a) const {
    const Module* m = find(a);
    return m && m->kind == Kind::Lamp;
}

bool ModuleList::isTwoWay(Address a) const {
    const Module* m = find(a);
    return m && m->twoWay;
}

}  // namespace state
