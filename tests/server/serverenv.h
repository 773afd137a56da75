// A server under test: its own temporary directory with kpx.conf, input file, command file,
// report directory and skeletons, the real `server` program started in it, and helpers to
// write requests and to check the packets that listeners received.
//
// Listener addresses (127.0.2.n, one set per test so tests can run in parallel):
//   10-11 playback, 12-13 live, 14-15 request, 16-18 full table, 20-35 forwarding,
//   40-47 list/kill/stop, 48-49 bconnect, 50-56 drops, 57-58 send limit,
//   59-60 black-holed connect, 61 symlink, 63-64 bad input, 65-67 ordinary user,
//   70-71 skeleton/report directory trouble, 72-73 one host asking again,
//   80-85 playback pace (real-time and never-reading listeners)
#pragma once

#include "testsupport.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace kpxtest::server {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

std::string addr(int n);

inline const std::string SUCCESSSKELETON = "<html>\n<p>connected</p>\n</html>\n";
inline const std::string SUCCESSREPORT = "<html>\n\n<p>connected</p>\n\n</html>\n\n";
inline const std::string ERRORSKELETON = "<html>\n@\n</html>\n";
inline const std::string CANNOTCONNECT =
    "Cannot connect. Is your client program started? Did you specify the right IP? "
    "Are you sitting beyond a firewall?";
inline const std::string SEPARATOR = std::string(79, '-') + "\n";

// 1600 bytes of u-law noise, different for every seed.
Bytes ulawchunk(unsigned seed);
// The reference encoding of one 1600-byte chunk (330 bytes).
Bytes encoded(const Bytes& chunk);
// `n` bytes of u-law silence.
Bytes silence(std::size_t n);
Bytes concat(const std::vector<Bytes>& parts);

// Result of following received packets through a cycle of reference packets.
struct Follow {
    int first = -1;      // index in the cycle of the first packet received
    int packets = 0;     // complete packets that matched in order
    std::string problem; // empty when every complete packet matched
};
// Splits `got` into 330-byte packets; the first must equal one of `cycle`, every next one
// the following entry (wrapping round).
Follow follow(const Bytes& got, const std::vector<Bytes>& cycle);

class Env {
  public:
    Env();
    ~Env();
    Env(const Env&) = delete;
    Env& operator=(const Env&) = delete;

    TempDir dir;
    std::vector<std::string> conf; // lines of kpx.conf (defaults set by the constructor)

    std::string input() const { return dir.file("in.ul"); }
    std::string cmdfile() const { return dir.file("cmd"); }
    std::string repdir() const { return dir.file("rep"); }
    std::string report(const std::string& name, const std::string& ext) const {
        return repdir() + "/" + name + ext;
    }

    // Writes kpx.conf and starts the server in the directory; `wrapper` is put in front of
    // the server's command line (for example unshare or setpriv).
    void start(const std::vector<std::string>& wrapper = {});
    // Starts the relay broadcaster instead, waiting for its upstream on `own`:9998 (kpx.conf
    // in its working directory, without the server's input keys). `args` replaces the address
    // argument when given.
    void startrelay(const std::string& own, const std::vector<std::string>& wrapper = {});
    // Writes `line` into the command file as a writer does (create, write, then appear) and
    // waits until the server removed it. False when it did not within `timeout`.
    bool command(const std::string& line, std::chrono::milliseconds timeout = 10s);
    // Connects a listener through the command file and waits for its first bytes.
    bool connect(const std::string& address, FakeListener& l);

    Process& proc() { return *proc_; }
    std::string err() const { return proc_->err(); }
    bool waiterr(const std::string& text, std::chrono::milliseconds timeout = 10s) const {
        return proc_->waiterr(text, timeout);
    }
    // Sends "@STOP" and waits for the exit; returns the exit status (-1 if it did not end).
    int stop();

  private:
    std::unique_ptr<Process> proc_;
};

} // namespace kpxtest::server
