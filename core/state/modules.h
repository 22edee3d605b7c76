#pragma once
// The modules this installation has: the settings group [Modules], one key a
// module, key = address ("A5", case-insensitive) and value = kind with an
// optional name ("lamp,Hall lamp", "appliance,Fan"). Lamps dim; appliances
// only switch. Without the group, the 16 units of the base house code count
// as lamps named by their address.

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
};

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

  private:
    std::vector<Module> modules_;
};

}  // namespace state
