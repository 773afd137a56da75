// Start-up of the server: banner, settings, configuration, signals, summary, then the
// audio pass loop for ever.
#pragma once

namespace kpx {

// Runs the server; returns only the usage error's status (255).
int servermain(int argc, char** argv);

} // namespace kpx
