// The two gateway programs, lconnect (a listener asks the server to connect it) and
// bconnect (a relay broadcaster asks to be fed and listed): they hand one request to the
// server through its command file and return the server's HTML action report as the page.
#pragma once

#include "cmdfile.h"

#include <array>
#include <cstdio>
#include <functional>
#include <string>

#include <sys/types.h>

namespace kpx {

enum class gatekind { listener, broadcaster };

// Process-wide settings of one run.
extern gatekind gwkind;
extern std::string commandfile;           // path of the server's command file
extern std::string repdir;                // the server's report directory, no trailing "/"
extern std::string CLIENTURL;             // bconnect: where a full server sends listeners
extern std::string BCASTURL;              // bconnect: where it sends other broadcasters
extern std::array<char, 1024> resfilenam; // the HTML report awaited
extern std::FILE* banfile;                // the report while it is copied to the page

inline constexpr int gw_maxpauses = cmd_maxpauses; // about 10 s per wait
inline constexpr long gw_pausems = cmd_pausems;

inline constexpr std::size_t gw_filenamebytes = 255; // longest file name of the file system
inline constexpr std::size_t gw_urlchars = 1023;     // the server keeps URLs of up to this length
inline constexpr std::size_t gw_linechars = 1023;    // the server reads this much of a request line

// Name rule for CLIENTNAME / REMOTE_ADDR: at least two dots, not dots only, no "@" and no
// blank, and only letters, digits, '.', '-' and '_'; and short enough that name + ".html",
// the server's report file, is a valid file name (at most 255 bytes). 1 when acceptable.
int nameok(const std::string& name);

// A forwarding URL a server can store and hand on: "http://" or "https://" (any letter case)
// first, at most gw_urlchars characters, no blanks, control characters, "=", quotes or angle
// brackets. Bytes of non-ASCII characters pass.
bool urlok(const std::string& url);

// The visitor's address as the web server gives it (REMOTE_ADDR), "-" when it is no address.
std::string requester();

// Hands the request to the server: waits for a free command file, creates it, writes the
// request line and waits until the server has taken it. Returns only on success; any
// failure prints its message and ends the run with status 1 (through leave).
void doit();

// The whole program of a gateway run after the page header; returns the exit status.
int gateway_main(gatekind kind);

} // namespace kpx
