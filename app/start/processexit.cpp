#include "processexit.h"

#include <unistd.h>
#include <cstdio>

namespace app {

namespace {
ExitHook& hook() {
    static ExitHook h;
    return h;
}
}  // namespace

void setExitHook(ExitHook h) {
    hook() = std::move(h);
}

void endProcess(int code) {
    if (hook()) {
        hook()(code);
        return;
    }
    std::fflush(nullptr);
    ::_exit(code);
}

}  // namespace app
