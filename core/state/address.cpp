// Module addresses: the strict reading and the address order.
#include "address.h"

namespace state {

std::optional<Address> parseModule(QStringView text) {
    // The vocabulary's reading also takes blanks, "A05" and a whole house;
    // a module address is only ever written the one plain way.
    const std::optional<Address> a = Address::parse(text);
    if (!a || a->unit == 0 || text.compare(a->text(), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    return a;
}

Address addressAt(int index) {
    if (index < 0 || index > 255) index = 0;
    return Address{index / 16 + 1, index % 16 + 1};
}

}  // namespace state
