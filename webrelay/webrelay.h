// The web relay: takes a server's stream on port 9998 exactly as the relay broadcaster does,
// decodes every packet once, encodes the audio once into Ogg/Opus and into MP3 and serves the
// same pages to any number of browsers and players over HTTP. While no upstream is connected it
// sends silence, so the browsers keep playing and hear the next upstream when it arrives.
#pragma once

#include "netrule.h"
#include "settings.h"
#include "stream.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace kpx {

// The web relay's settings; their defaults and bounds are in relaysettings.
struct RelayOptions {
    std::string upstream; // own address for the upstream link
    std::string httpaddress;
    int httpport = 0;
    int bitrate = 0;
    int maxlisteners = 0;
    int queueseconds = 0;
    int timeout = 0;
    int burstseconds = 0;  // a new listener gets this much of the recent stream at once
    int mp3bitrate = 0;    // 0: no MP3 stream
    bool allowset = false; // allowupstream given: only its senders may feed the relay
    std::vector<NetRule> allow;
    int upstreamsilence = 0; // seconds without a packet after whole ones: the upstream is lost
    int peraddress = 0;      // streams at once per client address
    std::string proxysocket; // the web server's Unix socket: X-Forwarded-For is taken there only
    std::string proxygroup;  // its group (default: the relay's own)
    std::string allowuser;   // an upstream from this machine must be this user's
    long allowuid = -1;      // its user id (-1: any user)
};

// The web relay's keys (options and settings-file lines) with their defaults and bounds,
// bound to `o`.
Settings relaysettings(RelayOptions& o);

// Parses the command line into `o` (the defaults first, then each option and each settings file
// in their order). Returns 0 to run, 1 when --help was asked for, -1 on a usage error (with
// `error` saying what is wrong). Old option names are taken with one line about them on stderr.
int parseoptions(int argc, char** argv, RelayOptions& o, std::string& error);
void usage(std::FILE* out, const char* self);

using Packet = std::array<unsigned char, PACKETBYTES>;

// Packets between the upstream reader and the pacer. The reader waits while it is full, so a
// sender in playback mode is paced by the relay as by a listener playing the sound.
class Feed {
  public:
    static constexpr std::size_t CAPACITY = 5; // 1 s of audio
    void push(const Packet& p);
    // Waits until `due - lead` for a packet, or until `due + grace` when none comes. True with
    // the packet in `p`; false when the time for silence has come.
    bool take(Packet& p, std::chrono::steady_clock::time_point due, std::chrono::milliseconds lead,
              std::chrono::milliseconds grace);

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Packet> q_;
};

// Spacing of the stream: a packet is made into a page no earlier than `LEAD` before its time;
// when no packet has come `GRACE` after its time, a page of silence goes out instead.
inline constexpr std::chrono::milliseconds PAGEPERIOD{200};
inline constexpr std::chrono::milliseconds LEAD{200};
inline constexpr std::chrono::milliseconds GRACE{300};

// The whole program. Returns the exit status of a usage or start-up error; otherwise runs
// until it is killed.
int webrelaymain(int argc, char** argv);

} // namespace kpx
