// Who may feed, register with and write beside the server and the relay: the upstream and
// relay allow lists, the silent-upstream limit, plain-ASCII URLs, the warnings about
// directories that other users can write, and the ownership and retention of reports.
#pragma once

#include "netrule.h"
#include "request.h" // isplainurl

#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace kpx {

// The settings behind the routines below; part of the process-wide settings (g.guard). Their
// defaults are in the configuration table (config.h).
struct Guard {
    bool upstreamset = false;           // allowupstream given: only its senders may feed us
    std::vector<NetRule> upstream;      // allowupstream
    long upstreamidle = 0;              // upstreamidle: seconds of silence after whole packets
    bool relayhostsset = false;         // relayhosts given: only these relays may register
    std::vector<NetRule> relayhosts;    // relayhosts
    std::vector<std::string> relayurls; // relayurls: the relays' pages must begin with one
    long reportage = 0;                 // reportage: seconds a .txt report is kept (0: for ever)
    long reportcount = 0;               // reportcount: .txt reports kept at most (0: any number)
    long connectlimit = 0;              // connectlimit: seconds a request's lookup and connect take
};

// True when a relay at `addr` (network byte order) may register: relayhosts unset, or the
// address is in it.
bool relayhostallowed(std::uint32_t addr);

// True when both pages of a relay may be listed: relayurls unset, or each begins with one
// of its prefixes.
bool relayurlsallowed(const std::string& clienturl, const std::string& bcasturl);

// The host part of an http(s) URL as a browser reads it: after "://", up to the first of
// "/\\?#", after the last "@", without a port; brackets kept off an IPv6 address. Lower case.
// Empty when there is none.
std::string urlhost(const std::string& url);

// True when `text` is the IPv4 address `addr` (network byte order), also written as an
// IPv4-mapped IPv6 address ("::ffff:192.0.2.1").
bool isaddress(const std::string& text, std::uint32_t addr);

// The start-up lines about who is accepted (upstream senders on a relay, relays registering)
// and a warning box for each of the command file's directory and the report directory that
// users other than ours can write.
void prnguard();

// A file in the report directory that this program wrote: a regular file of our user with a
// single link and the mode of a report (0640, or 0644 as older versions wrote them).
bool ownreport(const struct stat& st);

// Removes the report at `path` when it is one of ours (or absent: true). False, with nothing
// touched, when something else has that name.
bool removeownreport(const std::string& path);

// One bounded step of report retention: reads a few entries of the report directory, or
// removes a few expired .txt reports (with their .html), oldest first. Called between packets.
void prunereports();

} // namespace kpx
