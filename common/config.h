// The configuration file "kpx.conf" read into the settings of the server or the relay.
#pragma once

#include "configfile.h"
#include "settings.h"

#include <string>

namespace kpx {

struct Globals;

// The keys of kpx.conf with their defaults and bounds, bound to the settings in `s` for the
// program of s.profile.
Settings configkeys(Globals& s);

// Interprets one configuration line (with its newline) and updates the settings in `g`.
void parseinp(const std::string& line);

// Reads the file named by g.inifile line by line through parseinp.
void readini();

} // namespace kpx
