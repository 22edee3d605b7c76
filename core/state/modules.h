#pragma once
// The modules this installation has: the settings group [Modules], one key a
// module, key = address ("A5", case-insensitive) and value = kind with an
// optional name ("lamp,Hall lamp", "appliance,Fan"). Lamps dim; appliances
// only switch. The kinds twoway-lamp and twoway-appliance are lamps and
// appliances that answer when asked for their state. Options may follow the
// name as further fields: "room=Kitchen" (the room the module is in) and, for
// a sensor, "class=window" (a window contact; "class=door" is the default).
// Fields that are not options stay part of the name, so a name may hold
// commas. Without the group, the 16 units of the base house code count as
// lamps named by their address.
//
// One key of the group is not an address: PollMinutes, the minutes between
// two rounds of asking every two-way module for its state (0: never).

#include <QString>
#include <functional>
#include <vector>

#include "address.h"

namespace settings {
class File;
}

namespace state {

enum class Kind { Lamp, Appliance, Motion, Sensor, Remote };

struct Module {
    Address address;
    Kind kind = Kind::Lamp;
    QString name;  // the address text when none was given
    // A lamp or appliance that answers a status request (twoway-lamp,
    // twoway-appliance); a two-way lamp takes an absolute level.
    bool twoWay = false;
    QString room;         // "" when none was given
    bool window = false;  // a sensor on a window rather than a door
};

// The name of a module's kind as [Modules] writes it ("lamp",
// "twoway-appliance").
QString kindName(const Module& m);

class ModuleList {
  public:
    // From the settings; every bad entry writes one line through log and is
    // skipped.
    static ModuleList fromSettings(const QString& baseHouse,
                                   const std::function<void(const QString&)>& log);
    // The same from a settings file already read.
    static ModuleList fromSettings(const settings::File& file, const QString& baseHouse,
                                   const std::function<void(const QString&)>& log);
    // The same from entries already read (key, value).
    static ModuleList fromEntries(const std::vector<std::pair<QString, QString>>& entries,
                                  bool groupPresent, const QString& baseHouse,
                                  const std::function<void(const QString&)>& log);

    const std::vector<Module>& modules() const { return modules_; }  // in address order
    const Module* find(Address a) const;                             // nullptr when not listed
    bool isLamp(Address a) const;                                    // listed as a lamp
    bool isTwoWay(Address a) const;  // listed as a module that answers
    // Minutes between two rounds of asking the two-way modules (0: never).
    int pollMinutes() const { return pollMinutes_; }
    static constexpr int kDefaultPollMinutes = 15;

  private:
    std::vector<Module> modules_;
    int pollMinutes_ = kDefaultPollMinutes;
};

}  // namespace state
