// The Unix listener client: waits on TCP port 9998 of the listener's own address, takes one
// sender after another and plays each stream on the audio device as 8-bit u-law.
#pragma once

#include "netrule.h"
#include "wire.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kpx {

inline constexpr const char* CLIENTKIND = "CLIENT     ";
inline constexpr const char* CLIENTVERSION = "1.10     ";
inline constexpr const char* AUDIODEVICE = "/dev/audio";
inline constexpr const char* ANYADDRESS = "0.0.0.0";

// Process-wide state of the client.
extern std::FILE* outfile; // the audio device, open only during a reception

// Path of the audio device. "/dev/audio" unless -o names another output; unit tests point it
// at a file.
extern std::string devicename;

// -o: the decoded audio goes to `devicename` (or, for "-", to the descriptor `outputfd`) at the
// stream's real pace, 200 ms per packet, since no sound device sets the pace.
extern bool pacedoutput;
extern int outputfd; // >= 0: write the audio to this descriptor instead of opening devicename

// -s: seconds a sender may stay silent between two packets before it is given up and the next
// sender is taken (0: no limit).
inline constexpr long SILENCELIMITSEC = 30;
extern long silencelimit;

// -a: the senders that may be played (empty: anybody).
extern std::vector<NetRule> allowed;

// One reception on the accepted connection `conn`: opens the device, synchronises on the
// first data, then reads, decodes and plays packet after packet until the link is lost or
// the device takes nothing. Does not close `conn`.
void getsound(int conn);

// One turn of the client's endless loop: accept a sender on the listening socket (lsn.sk), run the
// reception, close the connection. Returns what acc_sock returned.
int serveone(const char* address);

// The whole program: banner, arguments, socket, then serveone for ever. Returns only the
// exit status of --help or --version (0), of a usage error or of a socket that cannot be made.
int clientmain(int argc, char** argv);

} // namespace kpx
