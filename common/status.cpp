#include "status.h"

namespace kpx {

// The writer is being built; until then no status file is written.
void statuschanged() {}
void statustick() {}

} // namespace kpx
