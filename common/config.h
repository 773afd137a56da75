// The configuration file "kpx.conf": key/value lines split at runs of '=', blank and newline.
#pragma once

#include <string>

namespace kpx {

inline constexpr int INILINECHARS = 254;  // one read of the file: 255-byte line buffer
inline constexpr int KEYCHARS = 95;       // key / command word buffer
inline constexpr int VALUECHARS = 127;    // value / argument buffer

// Token `n` (from 0) of `line`, split at every run of '=', ' ' and '\n' (tab and CR are
// ordinary characters); empty when the line has fewer tokens. At most `maxchars` characters
// of the token are kept (longer tokens are cut).
std::string getparam(const std::string& line, int n, int maxchars = VALUECHARS);

// Keys and command words are compared without regard to letter case.
bool sameword(const std::string& a, const char* b);

// Token 0, the key or command word, cut to KEYCHARS.
std::string getcommand(const std::string& line);

// Interprets one configuration line (with its newline) and updates the settings in `g`.
void parseinp(const std::string& line);

// Reads the file named by g.inifile line by line through parseinp.
void readini();

} // namespace kpx
