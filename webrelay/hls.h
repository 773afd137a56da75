// Low-Latency HLS of the MP3 stream: /listen.m3u8, a live media playlist, and the MPEG-TS
// segments and parts it names (/listen/MSN.ts, /listen/MSN.PART.ts). The same MP3 frames the
// /listen.mp3 listeners get are cut into parts of 11 frames (396 ms) and segments of 3 parts
// (1.188 s), each part a stand-alone transport stream (PAT, PMT, one PES). Nothing is kept per
// listener: every answer is the same for everyone and may be kept by any HTTP cache (parts and
// segments for good, the playlist for less than a part). A blocking playlist reload or a
// request for the part named in the preload hint waits (its connection suspended, no thread
// held) until that part exists, at most three part durations.
//
// Media sequence numbers start at the relay's start time in seconds, so that a restarted relay
// never gives an old segment's name to new content that a cache might mix up with the old (a
// segment lasts more than a second, so the numbers never catch up with the clock).
//
// Short segments keep the players that start a number of whole segments back close to live:
// ffmpeg (and mpv through it) starts three whole segments before the one being made: 3.6 to
// 4.4 s behind live with segments of three parts, where segments of five (1.98 s) left it 7 s
// behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct MHD_Connection;

namespace kpx {

inline constexpr int HLSPARTFRAMES = 11; // MP3 frames (576 samples at 16 kHz) per part
inline constexpr int HLSSEGMENTPARTS = 3;
inline constexpr int HLSLISTED = 26;     // whole segments in the playlist: 30.9 s
inline constexpr int HLSHELD = 32;       // whole segments held (a few more than listed)
inline constexpr int HLSPARTSLISTED = 3; // the newest whole segments whose parts are listed
inline constexpr int HLSHOLDPARTS = 3;   // a blocking request waits at most this many parts

// Whether `path` is one of the HLS paths (the playlist, a segment or a part).
bool hlspath(const std::string& path);

class HlsStream {
  public:
    explicit HlsStream(std::uint64_t firstmsn);
    HlsStream(const HlsStream&) = delete;
    HlsStream& operator=(const HlsStream&) = delete;

    // Whole MP3 frames from the encoder (the pacing thread); wakes the requests waiting for a
    // part once it is complete, and those whose time is up.
    void publish(const std::string& frames);

    // Answers a GET or HEAD of an HLS path (the HTTP thread), or suspends the connection until
    // the part it waits for is there; called again once resumed.
    int request(MHD_Connection* conn, const std::string& path);

    // A request has ended (answered, or its connection gone): its wait is forgotten.
    void forget(MHD_Connection* conn);

    std::uint64_t parts() const; // parts completed so far

  private:
    struct Segment {
        std::uint64_t msn = 0;
        std::vector<std::string> parts; // transport stream of each part
        std::string date;               // EXT-X-PROGRAM-DATE-TIME of its first frame
    };
    struct Waiter {
        MHD_Connection* conn;
        std::uint64_t part; // global part index it waits for
        std::chrono::steady_clock::time_point deadline;
    };
    void makepart();
    void makeplaylist();
    // Global part index of the newest complete part, or -1 before the first.
    long long lastpart() const;
    const std::string* findpart(std::uint64_t msn, int part, bool whole, std::string& out) const;
    int hold(MHD_Connection* conn, std::uint64_t part, std::chrono::steady_clock::time_point now);

    mutable std::mutex mu_;
    const std::uint64_t firstmsn_;
    std::deque<Segment> segments_; // the last is the one being made (maybe without parts yet)
    std::string pending_;          // frames of the part being made
    int pendingframes_ = 0;
    std::string pendingdate_;
    std::uint64_t frames_ = 0; // frames in completed parts: the presentation clock
    std::uint64_t partsdone_ = 0;
    std::uint8_t cc_[3] = {0, 0, 0}; // continuity counters: PAT, PMT, audio
    std::string playlist_, etag_;
    std::vector<Waiter> waiting_;
    std::vector<Waiter> held_; // resumed or waiting: their deadlines, by connection
};

} // namespace kpx
