// Process services the server's logic goes through, so that tests can replace the clock,
// the pauses and the process exit without touching the rest of the code.
#pragma once

#include <ctime>
#include <functional>

namespace kpx {

struct ProcessHooks {
    std::function<std::time_t()> clock;   // current calendar time
    std::function<void(long ms)> pause;   // sleep for `ms` milliseconds
    std::function<void(int status)> quit; // end the process with `status`
};

// The services in use; `resethooks` puts back the real ones.
extern ProcessHooks hooks;
void resethooks();

// Ends the process through `hooks.quit`; never returns even if a replaced quit does.
[[noreturn]] void leave(int status);

} // namespace kpx
