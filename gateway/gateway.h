// The two gateway programs, lconnect (a listener asks the server to connect it) and
// bconnect (a relay broadcaster asks to be fed and listed): they hand one request to the
// server through its command file and return the server's HTML action report as the page.
#pragma once

#include <array>
#include <cstdio>
#include <functional>
#include <string>

#include <sys/types.h>

namespace kpx {

enum class gatekind { listener, broadcaster };

// Process-wide settings of one run.
extern gatekind gwkind;
extern std::string commandfile;          // path of the server's command file
extern std::string repdir;               // the server's report directory, no trailing "/"
extern std::string CLIENTURL;            // bconnect: where a full server sends listeners
extern std::string BCASTURL;             // bconnect: where it sends other broadcasters
extern std::array<char, 1024> resfilenam; // the HTML report awaited
extern std::FILE* banfile;               // the report while it is copied to the page

inline constexpr int gw_maxpauses = 101;  // 101 pauses of 100 ms: about 10 s per wait

inline constexpr long gw_pausems = 100;  // between two looks at a file (through sys.pause)

inline constexpr std::size_t gw_filenamebytes = 255; // longest file name of the file system
inline constexpr std::size_t gw_urlchars = 1023;     // the server keeps URLs of up to this length
inline constexpr std::size_t gw_linechars = 1023;    // the server reads this much of a request line

// 1 if the file can be opened for reading (closed again at once), else 0. The open does not
// wait for a writer, so a FIFO in the file's place cannot hang the run.
int fileexists(const char* path);

// Name rule for CLIENTNAME / REMOTE_ADDR: at least two dots, not dots only, no "@" and no
// blank, and only letters, digits, '.', '-' and '_'; and short enough that name + ".html",
// the server's report file, is a valid file name (at most 255 bytes). 1 when acceptable.
int nameok(const std::string& name);

// A forwarding URL a server can store and hand on: "http://" or "https://" (any letter case)
// first, at most gw_urlchars characters, no blanks, control characters, "=", quotes or angle
// brackets. Bytes of non-ASCII characters pass.
bool urlok(const std::string& url);

// The command-file hand-over shared by the gateways and the operator's command.
struct fileid {
    dev_t dev = 0;
    ino_t ino = 0;
};
enum class placed { written, busy, failed };

// Waits for the command file to be free (at most gw_maxpauses pauses), then creates it
// exclusively and writes `line`. A writer that lost the race to another waits its turn again
// within the same budget. `error` receives the errno of a failed creation or write, `id` the
// identity of the file written.
placed placerequest(const std::string& path, const std::string& line, int& error, fileid& id);

// Waits until the server has taken the request (the file is gone), at most gw_maxpauses
// pauses. True when it was taken.
bool awaittaken(const std::string& path);

// Takes back a request the server did not take: the command file is removed only while it is
// still the file written (`id`) and holds exactly `line`. True when it was withdrawn; false
// when the file is gone or holds something else (the server took the request after all).
bool withdrawrequest(const std::string& path, const std::string& line, const fileid& id);

// Hands the request to the server: waits for a free command file, creates it, writes the
// request line and waits until the server has taken it. Returns only on success; any
// failure prints its message and ends the run with status 1 (through leave).
void doit();

// The whole program of a gateway run after the page header; returns the exit status.
int gateway_main(gatekind kind);

} // namespace kpx
