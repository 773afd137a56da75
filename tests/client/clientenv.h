// Helpers for the client tests: the real client with its audio captured through alsa-oss,
// fake senders, and stream data built with the codec layer.
//
// How the audio is captured: alsa-oss (libaoss, preloaded) intercepts the client's fopen of
// "/dev/audio" and opens the ALSA PCM "default" instead, in the format a classic /dev/audio
// has by default: 8-bit u-law, 8000 Hz, mono. Each client gets a HOME of its own whose
// .asoundrc makes "default" an asymmetric PCM: the playback side is the ALSA `file` plugin in
// format "raw" (no header, no conversion: the bytes the client wrote, as written) in front of
// the `null` device, appending through "|cat >>heard.ul" so that every reception of one client
// ends up in one file, in order; the capture side (the device is opened read-write) is `null`.
// The pipe is closed, and so the file complete, when the client closes the device, which
// happens before it prints "Connection closed.".
#pragma once

#include "testsupport.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace clienttest {

using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

// What the ALSA default device of a client under test is.
enum class Device {
    capture, // the file plugin described above
    broken,  // a sound card that does not exist: opening /dev/audio fails for real
};

// Writes the .asoundrc for `dev` into `home`; captured audio goes to `heardfile`.
void writeasoundrc(const std::string& home, Device dev, const std::string& heardfile);

// The real client program, started with `args`, its audio device provided by alsa-oss.
class Client {
  public:
    Client(const std::vector<std::string>& args, Device dev = Device::capture);
    kpxtest::Process& proc() { return *proc_; }
    std::string out() const { return proc_->out(); }
    std::string err() const { return proc_->err(); }
    // Everything the client has played so far (complete for every ended reception).
    Bytes heard() const;
    // Waits until `text` occurs at least `n` times on the client's standard output.
    bool waitcount(const std::string& text, int n, std::chrono::milliseconds timeout = 10s) const;

  private:
    kpxtest::TempDir home_;
    std::string heardfile_;
    std::unique_ptr<kpxtest::Process> proc_;
};

// A sender connected to addr:9998 (what a server is to a client). Closes on destruction.
class Sender {
  public:
    explicit Sender(const std::string& addr);
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    bool connected() const { return fd_ >= 0; }
    bool send(const Bytes& b);
    bool send(const Bytes& b, std::size_t from, std::size_t len);
    void close();

  private:
    int fd_ = -1;
};

// `samples` u-law bytes of a speech-like test signal (tones with a moving envelope plus a
// little noise), different for every seed.
Bytes ulawsignal(int samples, std::uint32_t seed);
// `count` pseudo-random bytes.
Bytes noise(int count, std::uint32_t seed);
// The wire form of `audio` (a multiple of 1600 bytes): one 330-byte packet per 1600 bytes.
Bytes encodepackets(const Bytes& audio);
// `count` packets of test audio, ready to send.
Bytes packets(int count, std::uint32_t seed);
// What a listener must play for `wire`: the stream cut into 330-byte packets from its first
// byte, each decoded on its own; refused packets and a trailing partial packet give nothing.
// `refused` (optional) receives the number of refused packets.
Bytes expectedplay(const Bytes& wire, int* refused = nullptr);
// Bytes [from, from+len) of `b`.
Bytes slice(const Bytes& b, std::size_t from, std::size_t len);
Bytes concat(const Bytes& a, const Bytes& b);

// Peak and current resident set size of a process, in KiB (from /proc/<pid>/status).
long vmkib(int pid, const std::string& field);

} // namespace clienttest
