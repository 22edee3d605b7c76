// A program without a window that links the state library alone: it decodes
// a heard ON under QCoreApplication and exits 0 when the table followed it.
// The check beside it reads this program's dynamic section.
#include <QCoreApplication>

#include "statetable.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    state::StateTable table;
    x10::HeardEvent on;
    on.house = 1;
    on.addresses = {{1, 5}};
    on.function = x10::On;
    table.applyHeard(on);
    const std::optional<state::Address> a5 = state::parseModule(u"A5");
    return a5 && table.state(*a5).power == state::Power::On ? 0 : 1;
}
