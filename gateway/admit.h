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

// KPX_POSTONLY set (and not "0"): only a POST whose Origin, or else Referer, names the
// request's own Host (or that carries neither) is taken. True when the request may go on.
bool sameorigin(const char* method, const char* host, const char* origin, const char* referer);

// With KPX_GATEWAY_LOCKDIR set, takes one of KPX_GATEWAY_PERCLIENT slots of the client's
// address and one of KPX_GATEWAY_MAX slots in all (flock'ed files in that directory, held
// until the program ends). `held` is false when every slot of a kind is in use; the result
// is false when the directory cannot be used.
bool takeslot(const std::string& client, bool& held);

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
