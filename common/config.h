// The configuration file "kpx.conf" read into the settings of the server or the relay.
#pragma once

#include "configfile.h"

#include <string>

namespace kpx {

// Interprets one configuration line (with its newline) and updates the settings in `g`.
void parseinp(const std::string& line);

// Reads the file named by g.inifile line by line through parseinp.
void readini();

} // namespace kpx
