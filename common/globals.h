// Process-wide settings, counters and peer tables of the server and the relay broadcaster.
// They live in one struct so that tests can put everything back to its start values.
#pragma once

#include "guard.h"
#include "request.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include <sys/types.h>

#include "sendqueue.h"

namespace kpx {

using quad = __float128; // packet counters: IEEE 754 quadruple precision

inline constexpr int MAXPEERS = 10; // slots of `machine` and `distributor`

// One connected peer (a listener or a relay broadcaster).
struct machinerec {
    int sock = -1;          // connected TCP socket
    std::string name;       // host name or dotted address as requested (<= NAMECHARS)
    quad startpacket = 0;   // packetcount + 1 at connect time
    std::int32_t bcast = 0; // 1: relay broadcaster connected through @BCONNECT
    std::time_t since = 0;  // when it was connected
    std::uint32_t addr = 0; // its IPv4 address (network byte order)
    SendQueue out;          // what its socket has not taken yet (freed with the record)
};

// One relay broadcaster on the automatic distribution list.
struct distrec {
    std::string clientname; // equals the `name` of its machine record
    std::string clienturl;  // listeners are forwarded here while we are full
    std::string bcasturl;   // other broadcasters are forwarded here
};

// Which of the two programs runs the shared routines.
enum class Role { server, relay };

// What tells the server and the relay broadcaster apart inside the shared routines. Each
// program's main hands its own profile to setdefaults.
struct Profile {
    Role role;               // server: reads its own input; relay: takes an upstream's stream
    const char* kind;        // banner kind, padded to the box ("SERVER     ", "BROADCASTER")
    const char* version;     // banner version, padded ("1.10     ")
    const char* program;     // "Server" / "Broadcaster" in the summary lines
    const char* signaloff;   // the second line of "Signal trapping switched OFF."
    const char* signalon;    // the second line of "Signal trapping switched ON."
    const char* fullmessage; // error report when the table is full and no relay is listed
};
extern const Profile serverprofile;
extern const Profile relayprofile;

// A command file that could not be removed after its line was handled: it is left alone
// until it changes, so that one request is not carried out again after every packet.
struct Handled {
    bool valid = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
};

struct Lookup;

// A connection request under way: its name lookup and connect run between packets.
struct Pending {
    bool active = false;
    std::string name;                // as requested
    int type = 0;                    // 0: listener, 1: relay broadcaster (@BCONNECT)
    std::string clienturl, bcasturl; // @BCONNECT: the relay's pages, listed once it is connected
    std::string requester;   // @BCONNECT from a gateway: the visitor's address ("-" unknown);
                             // empty from the operator (kpxctl or the command file by hand)
    bool checkpages = false; // the pages must be on the relay's own host (relayurls unset)
    int sock = -1;           // the connecting socket (non-blocking)
    std::shared_ptr<Lookup> lookup; // the name lookup while it runs
    bool resolved = false;          // the address is known and the connect has started
    std::uint32_t addr = 0;         // the address connected to (network byte order)
    bool connected = false;
    bool already = false; // the address is connected already: nothing changes
    int error = 0;        // errno of a failed lookup or connect (ETIMEDOUT at the limit)
    std::chrono::steady_clock::time_point deadline; // lookup and connect together end here
};

// What the status file's writer remembers between two writes.
struct StatusWriter {
    bool written = false; // a write was attempted since the settings were reset
    bool failing = false; // the last write failed and was reported
    std::chrono::steady_clock::time_point lastwrite{}; // of the last attempt (once a second)
    std::int8_t lastconnection = 0;
    std::time_t upstreamsince = 0; // relay: when the current upstream was first seen connected
};

// The settings' defaults and bounds are in the configuration table (config.h); setdefaults
// puts them in.
struct Globals {
    const Profile* profile = &serverprofile;

    std::string inifile;           // configuration file to read (command line)
    std::string outputdevice;      // audio INPUT path, device or raw u-law file (inputdevice)
    std::string listname;          // command file (commandfile)
    std::string resdir;            // report directory, no trailing '/' (repdir)
    std::string okfile;            // success skeleton (successhtml)
    std::string errorfile;         // error skeleton (errorhtml)
    std::string statusfile;        // JSON status file, empty for none (statusfile)
    std::string allowuser;         // relay: a local upstream must be this user's (allowuser)
    std::int8_t ignsign = 0;       // 1: ignore signals 1..30; 0: only SIGPIPE (ignsign)
    std::int8_t live = 0;          // 1: live input; 0: playback, the input loops (live)
    std::int8_t allowbcons = 0;    // 1: @BCONNECT may add relays to the list (broadcasters)
    std::int32_t maxclients = 0;   // peers accepted at the same time (maxclients)
    std::int32_t clientcount = 0;  // occupied slots of machine
    std::int32_t distcount = 0;    // occupied slots of distributor
    std::int32_t bnum = 0;         // distributor entry that gets the next forwarded request
    std::int32_t inilinecount = 0; // line number while the configuration is read
    quad packetcount = 0;          // packets taken from the input (or upstream) since start
    std::time_t now = 0;           // most recent time stamp
    std::time_t started = 0;       // when the program started

    std::array<machinerec, MAXPEERS> machine{};
    std::array<distrec, MAXPEERS> distributor{};

    std::FILE* listfile = nullptr; // the command file while one line is handled
    Handled stuck;                 // a handled command file that could not be removed
    Pending pending;               // the request under way, if any
    Guard guard;                   // allow lists, silent-upstream limit, report retention
    StatusWriter status;           // the status file's writer

    // Relay broadcaster only.
    std::int8_t connection = 0; // 1 while an upstream is relayed
};

extern Globals g;

// Puts every setting, counter and table back to its start value for the program described
// by `profile` (strings as fresh copies, `now` set to the current time). A command file
// still open is closed and peer sockets still open are closed.
void setdefaults(const Profile& profile = serverprofile);

} // namespace kpx
