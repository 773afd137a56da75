// Action reports: the pair N.html / N.txt in the report directory that tells a requester
// what became of its connection request. The web gateway copies N.html into its answer page.
#pragma once

#include "request.h"

#include <string>

namespace kpx {

inline constexpr int SKELETONCHARS = 1023; // skeleton lines are copied in pieces of this size

// Report texts passed in by the table and command routines.
inline constexpr const char* MSG_CANNOTCONNECT =
    "Cannot connect. Is your client program started? Did you specify the right IP? "
    "Are you sitting beyond a firewall?";
inline constexpr const char* MSG_NOSOCKET = "socket() call did not succeed! Mail admin.\n";
inline constexpr const char* MSG_FULL =
    "Maximum number of connections reached. Find another KPX server or try again later!\n";
inline constexpr const char* MSG_FULLRELAY =
    "Maximum number of connections reached. Find another KPX server or reconnect first URL!\n";
inline constexpr const char* MSG_NOBCONNECT =
    "Sorry: Broadcaster connects to this server are forbidden\n";
inline constexpr const char* MSG_NAMETAKEN =
    "The report name is taken by a file this server did not write. Choose another name";
inline constexpr const char* MSG_INTERNAL = "Internal Problem!";

// Prints the refusal of an unusable request name on the error stream.
void prnrefusedname(const std::string& name);

// The report of `name` in the report directory (resdir).
std::string reportpath(const std::string& name, const char* ext);

void handlesuccess(const std::string& name);
void handleerror(const std::string& message, const std::string& name);
void handleforwarding(const std::string& url, const std::string& name);

} // namespace kpx
