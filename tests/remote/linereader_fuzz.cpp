// Any byte stream, cut into any fragments: the reader never holds more than
// one bounded line and every line it returns is within the bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "linereader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LineReader r(256);
    size_t i = 0;
    while (i < size) {
        const size_t chunk = 1 + data[i] % 64;
        const size_t n = chunk < size - i ? chunk : size - i;
        r.feed(QByteArray(reinterpret_cast<const char*>(data + i), static_cast<qsizetype>(n)));
        for (const QByteArray& line : r.takeLines()) {
            if (line.size() > 256 || line.contains('\n')) std::abort();
        }
        i += n;
    }
    return 0;
}
