#include "config.h"

#include "globals.h"

namespace kpx {

std::string getparam(const std::string&, int, int) { return {}; }
std::string getcommand(const std::string& line) { return getparam(line, 0, KEYCHARS); }
void parseinp(const std::string&) {}
void readini() {}

} // namespace kpx
