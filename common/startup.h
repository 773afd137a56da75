// The start-up steps the server and the relay broadcaster share once their configuration is
// read: the signal dispositions and the settings summary on the error stream.
#pragma once

namespace kpx {

// By `ignsign`: 1 ignores signals 1 to 30 (the program can then only be killed with
// signal 9), 0 leaves them; SIGPIPE is ignored in both cases, so that a send to a peer that
// has gone fails instead of ending the process. Dispositions set earlier are not restored.
void setsignals();

// The settings summary, from the number of listeners down to the separator line that ends it,
// followed by the lines and warning boxes of prnguard.
void prnsummary();

} // namespace kpx
