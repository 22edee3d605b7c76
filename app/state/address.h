#pragma once
// A module's address on the powerline: house code A to P and unit 1 to 16.

#include <QString>
#include <optional>

namespace state {

struct Address {
    int house = 0;  // 0 to 15 for A to P
    int unit = 1;   // 1 to 16

    // "A5", "p16" (either case, no blanks); nullopt for anything else.
    static std::optional<Address> parse(const QString& text);
    static Address fromIndex(int index);  // 0 to 255, in address order

    // Position in address order: A1 A2 ... A16 B1 ... P16.
    int index() const { return house * 16 + unit - 1; }
    QChar houseLetter() const { return QChar(u'A' + house); }
    QString text() const;  // "A5"

    friend bool operator==(const Address&, const Address&) = default;
};

// House letter (either case) to 0..15; -1 for anything else.
int houseIndex(QChar letter);

}  // namespace state
