// A program's settings as a table: one row per key with the key's name (in the configuration
// file, and the long option of a program that takes options), where its value goes, its
// default and its bounds. The server, the relay, kpxctl and the web relay each describe their
// settings this way and read them through the routines below.
#pragma once

#include "netrule.h"

#include <climits>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kpx {

// The default shared by the relay (upstreamidle) and the web relay: seconds of silence after
// whole packets until an upstream is given up.
inline constexpr long UPSTREAMIDLESECONDS = 30;

// How a key's value is taken.
enum class Kind {
    off,      // a switch that can only be turned off: its word (any letter case) or exactly "0"
    text,     // a string as it stands, not empty
    dir,      // a directory path; one trailing '/' is dropped
    count,    // a number as atoi reads it (a sign, digits, anything after), low..high
    number,   // digits only, low..high
    seconds,  // a number >= 0 and nothing else
    rules,    // comma-separated allow-list entries, added to what earlier values gave
    urls,     // a plain-ASCII URL prefix, added to the list
    hostport, // ADDR:PORT, the port 1..65535
};

using Field = std::variant<std::int8_t*, int*, long*, std::string*, std::vector<NetRule>*,
                           std::vector<std::string>*>;

struct Setting {
    const char* name;
    Kind kind;
    Field field;                   // the value (hostport: its address)
    const char* text = "";         // the default of a text or dir key (hostport: the address)
    long number = 0;               // the default of a numeric key or a switch (hostport: the port)
    long low = 0;                  // count, number: the bounds
    long high = LONG_MAX;          //
    const char* offword = "";      // off: the word that turns it off
    bool* given = nullptr;         // rules: set once the key was given at all
    int* port = nullptr;           // hostport: the port
    const char* ignored = nullptr; // set: the key is not taken, this goes to stderr instead
    bool (*accepts)(const std::string&) = nullptr; // set: a value must also pass this
};

using Settings = std::vector<Setting>;

// Rows in short: a text key, and a number of `kind` (count, number, seconds) from `low` to
// `high`.
inline Setting textkey(const char* name, std::string& field, const char* fallback = "") {
    return {.name = name, .kind = Kind::text, .field = &field, .text = fallback};
}
template <class Number>
Setting numberkey(const char* name, Kind kind, Number& field, long fallback, long low = 0,
                  long high = LONG_MAX) {
    return {
        .name = name, .kind = kind, .field = &field, .number = fallback, .low = low, .high = high};
}

// Puts every key of `rows` back to its default (lists empty, not given).
void resetsettings(const Settings& rows);

// Empties the list keys of `rows` (before a configuration file is read again).
void resetlists(const Settings& rows);

// The row of `key` (any letter case), or nothing.
const Setting* findsetting(const Settings& rows, const std::string& key);

// Puts `value` into the setting of `row`; false, with the setting unchanged or (rules) partly
// added, when the value makes no sense. A row with `ignored` prints it and takes nothing.
bool takesetting(const Setting& row, const std::string& value);

// What `row` wants, after its name in a message: "wants a number from 1 to 10".
std::string wants(const Setting& row);

// What one configuration file line did.
enum class LineWas { comment, taken, unknown, refused };

// Interprets one configuration line (with its newline): `key = value`, split by getparam. A
// line whose first token begins with '#', '/' or ';' is a comment; keys longer than KEYCHARS
// and values longer than VALUECHARS are cut (a cut key never matches, a cut value is used as
// it stands); a key without a value is not known. `key` receives the line's key.
LineWas settingline(const Settings& rows, const std::string& line, std::string& key);

} // namespace kpx
