// POSIX receive seam for the stream reader: wraps read(2) on a connected descriptor.
#pragma once

#include "stream.h"

namespace kpx {

// A ReadFn that reads from `fd` (which it does not own or close). A read interrupted by a
// signal before any byte arrived is retried, so EINTR never shows up as a failed attempt.
ReadFn fdreader(int fd);

} // namespace kpx
