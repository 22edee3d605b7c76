#include "windowkeys.h"

#include <algorithm>

#include "numtext.h"

namespace settings {

int readPosition(const QString& text) {
    // Twips of a coordinate that still fits an int once converted to pixels
    // and back; anything further is off every screen anyway.
    constexpr int64_t kMax = 15LL * 1000000;
    const int64_t v = platform::roundHalfEven(platform::leadingNumber(text));
    return static_cast<int>(std::clamp<int64_t>(v, 0, kMax));
}

}  // namespace settings
