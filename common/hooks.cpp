#include "hooks.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kpx {

namespace {
ProcessHooks realhooks() {
    ProcessHooks p;
    p.clock = [] { return std::time(nullptr); };
    p.pause = [](long ms) {
        if (ms > 0) ::usleep(static_cast<useconds_t>(ms) * 1000U);
    };
    p.quit = [](int status) {
        std::fflush(nullptr);
        std::exit(status);
    };
    return p;
}
} // namespace

ProcessHooks hooks = realhooks();

void resethooks() {
    hooks = realhooks();
}

void leave(int status) {
    if (hooks.quit) hooks.quit(status);
    std::fflush(nullptr);
    std::exit(status);
}

} // namespace kpx
