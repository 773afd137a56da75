// The audio pass loop of the server: read a packet of u-law audio, compress it, send it to
// every peer, look into the command file; for ever.
#pragma once

#include "wire.h"

namespace kpx {

inline constexpr int INPUTBYTES = PACKETSAMPLES; // one packet of u-law input, 200 ms
inline constexpr long REOPENPAUSEMS = 1000;      // after the input could not be opened
inline constexpr unsigned char ULAWSILENCE = 0xFF;

// One input run: opens `outputdevice` and runs packet passes for ever. Returns only when
// the run could not be set up (after a pause when the input could not be opened).
void sendsound();

// Logs the death of the server at alert priority and ends the process with status 255.
[[noreturn]] void diefatal();

} // namespace kpx
