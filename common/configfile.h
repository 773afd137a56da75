// The configuration file "kpx.conf" as lines and tokens: key/value lines split at runs of
// '=', blank and newline. No settings here; config.h puts them into the program's state.
#pragma once

#include "cfile.h"

#include <functional>
#include <string>

namespace kpx {

inline constexpr int INILINECHARS = 254; // one read of the file: 255-byte line buffer
inline constexpr int KEYCHARS = 95;      // key / command word buffer
inline constexpr int VALUECHARS = 127;   // value / argument buffer

// Token `n` (from 0) of `line`, split at every run of '=', ' ' and '\n' (tab and CR are
// ordinary characters); empty when the line has fewer tokens. At most `maxchars` characters
// of the token are kept (longer tokens are cut).
std::string getparam(const std::string& line, int n, int maxchars = VALUECHARS);

// Keys and command words are compared without regard to letter case.
bool sameword(const std::string& a, const char* b);

// Token 0, the key or command word, cut to KEYCHARS.
std::string getcommand(const std::string& line);

// Opens the configuration file for reading; a directory counts as not readable (errno
// EISDIR). Nothing, with errno set, on failure.
FilePtr openconfig(const std::string& path);

// Reads `f` in reads of at most INILINECHARS characters: a longer physical line arrives in
// pieces, each a line of its own. `counted` is called for every read (also the last,
// unapplied one), `line` for every piece to interpret; a last line without a newline meets
// the end of the file during its own read and is not handed over.
void eachconfigline(std::FILE* f, const std::function<void(const std::string&)>& line,
                    const std::function<void()>& counted = {});

} // namespace kpx
