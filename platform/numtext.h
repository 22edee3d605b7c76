#pragma once
// Number rules shared by the program and the control library.

#include <QString>
#include <QStringView>
#include <cstdint>

namespace platform {

// The leading decimal number of a text: leading blanks skipped, an optional
// sign, digits with an optional decimal point and fraction. A text that does
// not start with a number reads as 0 ("2.5" -> 2.5, " 12ab" -> 12, "x" -> 0).
double leadingNumber(QStringView text);

// Rounds to the nearest integer, a half to the even neighbour (2.5 -> 2,
// 3.5 -> 4, -2.5 -> -2). Values beyond the 64-bit range saturate.
int64_t roundHalfEven(double v);

// Clamps to the 16-bit signed range.
int16_t clampToInt16(int64_t v);

// Decimal text with one leading blank for values of 0 and more (" 5", "-3").
QString blankNumber(long long v);

}  // namespace platform
