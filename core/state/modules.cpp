// The module list from the settings group [Modules].
#include "modules.h"

#include <algorithm>
#include <array>

#include "settingsfile.h"

namespace state {

ModuleList ModuleList::fromSettings(const QString& baseHouse,
                                    const std::function<void(const QString&)>& log) {
    return fromSettings(settings::File::read(), baseHouse, log);
}

ModuleList ModuleList::fromSettings(const settings::File& file, const QString& baseHouse,
                                    const std::function<void(const QString&)>& log) {
    std::vector<std::pair<QString, QString>> entries;
    for (const auto& kv : file.section(QStringLiteral("Modules")).entries())
        entries.emplace_back(kv.first, kv.second);
    // An empty group lists no module either: the defaults apply.
    return fromEntries(entries, !entries.empty(), baseHouse, log);
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
            const std::optional<Address> a = parseModule(key.trimmed());
            if (!a) {
                bad(key, value, QStringLiteral("not an address A1 to P16"));
                continue;
            }
            const qsizetype comma = value.indexOf(u',');
            const QString kindText = (comma < 0 ? value : value.left(comma)).trimmed();
            QString name = comma < 0 ? QString() : value.mid(comma + 1).trimmed();
            Module m;
            m.address = *a;
            static const std::array<std::pair<const char*, Kind>, 5> kKinds = {{
                {"lamp", Kind::Lamp},
                {"appliance", Kind::Appliance},
                {"motion", Kind::Motion},
                {"sensor", Kind::Sensor},
                {"remote", Kind::Remote},
            }};
            const auto kind = std::find_if(kKinds.begin(), kKinds.end(), [&](const auto& k) {
                return kindText.compare(QLatin1String(k.first), Qt::CaseInsensitive) == 0;
            });
            if (kind == kKinds.end()) {
                bad(key, value,
                    QStringLiteral("kind must be lamp, appliance, motion, sensor or remote"));
                continue;
            }
            m.kind = kind->second;
            if (seen[size_t(indexOf(*a))]) {
                bad(key, value, QStringLiteral("address listed twice"));
                continue;
            }
            seen[size_t(indexOf(*a))] = true;
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

}  // namespace state
