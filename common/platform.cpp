#include "platform.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kpx {

namespace {
Platform realplatform() {
    Platform p;
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

Platform sys = realplatform();

void resetplatform() { sys = realplatform(); }

void leave(int status) {
    if (sys.quit) sys.quit(status);
    std::fflush(nullptr);
    std::exit(status);
}

} // namespace kpx
