// The two ways numbers are read from settings, commands and requests.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace kpx {

// A plain decimal number: one or more digits and nothing else (leading zeros are harmless),
// at most `high`. Reading stops as soon as the number is too large, so nothing overflows.
inline bool plainnumber(std::string_view text, long high, long& out) {
    if (text.empty()) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > high) return false;
    }
    out = value;
    return true;
}

// A number as the C library's atoi reads it (leading white space, one sign, digits up to the
// first non-digit; no digits read as 0), taken as the 32-bit signed number it was on the
// machines the settings and commands were made for: a number out of that range gives -1, so
// that it is refused rather than wrapped round to a valid value.
inline long atoinumber(const std::string& text) {
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > INT32_MAX || v < INT32_MIN) return -1;
    return static_cast<long>(v);
}

} // namespace kpx
