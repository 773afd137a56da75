// What a gateway run checks when the web server's environment asks for it: that the request
// is a form posted from this site (KPX_POSTONLY), that a slot is free (KPX_GATEWAY_LOCKDIR,
// KPX_GATEWAY_MAX, KPX_GATEWAY_PERCLIENT), and that the report it copies was written by the
// server for this very request (KPX_SERVERUSER and the time the request was placed).
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

namespace kpx {

inline constexpr int gw_defaultmax = 8;       // KPX_GATEWAY_MAX when unset
inline constexpr int gw_defaultperclient = 2; // KPX_GATEWAY_PERCLIENT when unset
inline constexpr int gw_defaultpernet = 4;    // KPX_GATEWAY_PERNET when unset
inline constexpr int gw_defaultcooldown = 10; // KPX_GATEWAY_COOLDOWN (seconds) when unset

// KPX_POSTONLY set (and not "0"): only a POST whose Origin, or else Referer, names the
// request's own scheme (`https`: the request came over HTTPS) and Host is taken; one with
// neither is refused. With `sitenames` set (KPX_SITENAMES: the site's own host names, comma
// separated), the Host must also be one of them. True when the request may go on.
bool sameorigin(const char* method, const char* host, const char* origin, const char* referer,
                bool https = false, const char* sitenames = nullptr);

// With KPX_GATEWAY_LOCKDIR set, takes one of KPX_GATEWAY_PERCLIENT slots of the client's
// address, one of KPX_GATEWAY_PERNET slots of its network (netof) and one of KPX_GATEWAY_MAX
// slots in all (flock'ed files in that directory, held
// until the program ends). `held` is false when every slot of a kind is in use; the result
// is false when the directory cannot be used.
bool takeslot(const std::string& client, bool& held);

// With KPX_GATEWAY_LOCKDIR set, a client whose network (its /24 for IPv4, /64 for IPv6) had a
// request that could not be connected, or was not taken in time, waits KPX_GATEWAY_COOLDOWN
// seconds before the gateways take another: cooldownleft is the seconds still to wait (0:
// none), startcooldown begins the wait for the client's network.
long cooldownleft(const std::string& client);
void startcooldown(const std::string& client);

// The network a client's address belongs to, as a file name part: "a.b.c" for IPv4 (its /24),
// the first four groups for IPv6 (its /64); the address itself, made file-safe, otherwise.
std::string netof(const std::string& client);

// With KPX_GATEWAY_LOCKDIR set, waits until every gateway run that came before this one has
// handed over its request (or ended), at most about 10 s: runs take the command file first
// come, first served. False when the turn did not come in time. The turn ends with the run.
bool awaitturn();

// The owner a report must have (KPX_SERVERUSER: its uid or its group); nullopt when unset.
struct ReportOwner {
    uid_t uid;
    gid_t gid;
};

// Reads KPX_SERVERUSER; false when it names no user.
bool reportowner(std::optional<ReportOwner>& owner);

// The moment used to tell this request's report from older files: a clock of the same
// coarseness as the file system's time stamps, read before the request is placed.
std::timespec requesttime();

// A report the server wrote for this request: a regular file with a single link, of the
// report owner when one is set, modified and changed no earlier than `placed`.
bool reportforthisrequest(const struct stat& st, const std::optional<ReportOwner>& owner,
                          const std::timespec& placed);

} // namespace kpx
