// Process services the server's logic goes through, so that tests can replace the clock,
// the pauses and the process exit without touching the rest of the code.
#pragma once

#include <ctime>
#include <functional>

namespace kpx {

struct Platform {
    std::function<std::time_t()> clock;        // current calendar time
    std::function<void(long ms)> pause;         // sleep for `ms` milliseconds
    std::function<void(int status)> quit;       // end the process with `status`
};

// The services in use; `resetplatform` puts back the real ones.
extern Platform sys;
void resetplatform();

// Ends the process through `sys.quit`; never returns even if a replaced quit does.
[[noreturn]] void leave(int status);

} // namespace kpx
