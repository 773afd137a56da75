// Console helpers shared by every program: the banner box, the separator line and the
// time-stamp line that opens each event on the server's and relay's console.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

namespace kpx {

inline constexpr int BANNERWIDTH = 43;

// The version every program prints for --version (and in its banner, padded).
inline constexpr const char* PROGRAMVERSION = "1.10";

// The 43-character banner box on standard output. `kind` and `version` are passed already
// padded by the caller ("SERVER     ", "1.10     ") so the box stays aligned.
void printbanner(const char* kind, const char* version);

// 79 '-' characters and a newline on the standard error stream.
void prnline();

// The first 24 characters of the textual calendar time ("Tue Dec  8 15:02:34 2026").
std::string timetext(std::time_t t);

// "%.24s:\n" with the textual calendar time of `t`, on the standard error stream.
void prntime(std::time_t t);

// `text` with &, <, >, " and ' written as HTML entities, for pages and attributes.
std::string htmlescape(const std::string& text);

} // namespace kpx
