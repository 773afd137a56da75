// Reading the status file that the server and the relay write (statusfile), and the two views
// of it: the operator's table (kpxctl status) and the public status page (the status CGI).
#pragma once

#include <nlohmann/json.hpp>

#include <ctime>
#include <optional>
#include <string>

namespace kpx {

using Json = nlohmann::json;

// Readers of one member of a status object, with a fallback for a missing member, a member
// of another kind or a value that is not an object.
double num(const Json& j, const char* key, double fallback = 0);
std::string str(const Json& j, const char* key, const std::string& fallback = "");
bool yes(const Json& j, const char* key);
const Json& list(const Json& j, const char* key); // an empty array unless an array

// Parses one JSON text; nothing for anything else (a cut file, trailing text, bad UTF-8).
std::optional<Json> parsejson(const std::string& text);

// A status file older than this is no news: the program writing it has ended or hangs.
inline constexpr long STALESECONDS = 10;

// Reads and parses the status file. On failure `problem` says why (missing, unreadable, not
// JSON) and nothing is returned. `raw` receives the file's text.
std::optional<Json> readstatus(const std::string& path, std::string& raw, std::string& problem);

// On air: the program runs, its picture is fresh, and (for a relay) its upstream is connected.
bool onair(const Json& status, std::time_t now);

// "1:02:03", or "2d 01:02:03" from one day on; negative spans count as 0.
std::string duration(long long seconds);

// The operator's table: role, mode, since when, packets, places, then one line per peer
// (slot, name, connected for, received for, bytes, relay) and the distribution list.
std::string statustable(const Json& status, std::time_t now);

// The whole public status page (HTML, without the CGI header) for the status file at `path`
// (empty: none configured). Shows no peer's name or address; URLs and texts are escaped.
std::string statuspage(const std::string& path, std::time_t now);

// The status CGI after its header: prints the page for KPX_STATUSFILE; returns the exit status.
int statuspage_main();

} // namespace kpx
