// pandrel-event-wait NAME [timeout-ms]
// Waits until the named event of a pandrel control is set (the control sets
// it whenever it queues a received powerline event). Exit status 0 when it
// is set, 1 on time-out, 2 on a usage error or when the event cannot be
// opened. Without a time-out it waits for ever.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "namedevent.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::strlen(argv[1]) == 0) {
        std::fprintf(stderr, "usage: %s NAME [timeout-ms]\n", argv[0]);
        return 2;
    }
    long timeout = -1;
    if (argc == 3) {
        char* end = nullptr;
        timeout = std::strtol(argv[2], &end, 10);
        if (end == argv[2] || *end != '\0' || timeout < 0 || timeout > 2147483647L) {
            std::fprintf(stderr, "%s: invalid time-out \"%s\"\n", argv[0], argv[2]);
            return 2;
        }
    }
    platform::NamedEvent event;
    if (!event.open(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "%s: cannot open the event \"%s\"\n", argv[0], argv[1]);
        return 2;
    }
    return event.wait(static_cast<int>(timeout)) ? 0 : 1;
}
