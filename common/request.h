// A request as it travels through the command file, written by a gateway or kpxctl and read
// by the server or relay: its line, its length limits, the rule for the name it carries (the
// name becomes report file names), the rule for a relay's forwarding URLs, and the path of
// the report that answers it.
#pragma once

#include <cstddef>
#include <string>

namespace kpx {

inline constexpr int COMMANDLINECHARS = 1023;     // the server reads this much of a request line
inline constexpr int URLTOKENCHARS = 1031;        // tokens 2 and 3 of "@BCONNECT" as it reads them
inline constexpr int NAMECHARS = 254;             // a peer name: 255-byte field, kept terminated
inline constexpr int URLCHARS = 1023;             // a relay's page URL as the server keeps it
inline constexpr int PATHCHARS = 1023;            // a report's path: 1024-byte buffer
inline constexpr std::size_t FILENAMEBYTES = 255; // longest file name of the file system

// The line of a listener's request: the name to connect.
std::string listenerline(const std::string& name);

// The line of a relay's registration. `requester` is the visitor's address a gateway adds
// ("-" when unknown), so that the server can tell a relay asking for itself from anybody
// else naming it; the operator's line has none (empty).
std::string bconnectline(const std::string& name, const std::string& clienturl,
                         const std::string& bcasturl, const std::string& requester = {});

// A registration as the server reads it from a "@BCONNECT" line.
struct Registration {
    std::string name, clienturl, bcasturl, requester;
};
Registration parsebconnect(const std::string& line);

// The gateways' and kpxctl's name rule for a name to connect: at least two dots, not dots
// only, no "@" and no blank, and only letters, digits, '.', '-' and '_'; and short enough that
// name + ".html", the server's report file, is a valid file name (at most FILENAMEBYTES).
bool nameok(const std::string& name);

// The server's own rule for a request name, whoever wrote the line: it must not contain '/',
// so that no report can land (or be removed) anywhere else than in the report directory.
bool acceptablename(const std::string& name);

// A forwarding URL as it may be shown to listeners and operators: printable ASCII without
// blanks (no control, non-ASCII or bidirectional-override characters). Empty is plain.
bool isplainurl(const std::string& url);

// A forwarding URL a gateway or kpxctl hands to a server: "http://" or "https://" (any letter
// case) first, at most URLCHARS characters, plain (isplainurl), and no "=", quotes or angle
// brackets.
bool urlok(const std::string& url);

// The report of the request for `name` in the report directory `dir`: dir + "/" + name + ext
// (".html" for the answer page, ".txt" for the text report).
std::string reportpath(const std::string& dir, const std::string& name, const char* ext);

} // namespace kpx
