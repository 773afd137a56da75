// POSIX receive seam for the stream reader: wraps read(2) on a connected descriptor.
#pragma once

#include "stream.h"

#include <chrono>

namespace kpx {

// A ReadFn that reads from `fd` (which it does not own or close). A read interrupted by a
// signal before any byte arrived is retried, so EINTR never shows up as a failed attempt.
ReadFn fdreader(int fd);

// Idle limits of an accepted sender: its first byte must come within FIRSTBYTELIMIT of the
// accept, and a packet that has begun must be complete within PACKETLIMIT. A quiet sender
// between two packets is left alone (keepalive notices a vanished host).
inline constexpr std::chrono::milliseconds FIRSTBYTELIMIT{10000};
inline constexpr std::chrono::milliseconds PACKETLIMIT{30000};

// A ReadFn like fdreader that enforces the idle limits: a read that would wait beyond them
// fails instead (and every later read fails at once), so the link is treated as lost. Call
// it right after the accept; `first`/`packet` may be shortened by tests.
ReadFn linkreader(int fd, std::chrono::milliseconds first = FIRSTBYTELIMIT,
                  std::chrono::milliseconds packet = PACKETLIMIT);

} // namespace kpx
