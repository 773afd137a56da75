// The fault harness shared by the fault scenarios: a live server fed through a FIFO at a
// chosen pace from a cycle of distinct packets, peers that misbehave in separate processes
// (killed, resetting, not reading, sending garbage), an upstream that can be killed, a
// watch on the longest pause of a listener's stream, and /proc figures of a program.
//
// Addresses: 127.0.13.x (see addr()).
#pragma once

#include "serverenv.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace kpxtest::faults {

using namespace std::chrono_literals;
using server::Bytes;

std::string addr(int n); // 127.0.13.n

// The run's random seed: KPX_FAULT_SEED when set, else fresh; printed so a run can be repeated.
unsigned seed();

// `count` distinct 1600-byte u-law chunks and their reference encodings.
struct Programme {
    Programme(unsigned first, int count);
    std::vector<Bytes> chunks, packets;
};

// Writes the chunks of `p` round and round into the FIFO `path` (created here), one every
// `every`, until destroyed. The server's live input.
class Feeder {
  public:
    Feeder(const std::string& path, const Programme& p, std::chrono::milliseconds every);
    ~Feeder();

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A live server with room for 10 peers, its input a FIFO fed from `programme` (not started:
// adjust env.conf, then env.start()).
struct LiveServer {
    LiveServer(unsigned first, int count, std::chrono::milliseconds every);
    server::Env env;
    Programme programme;
    std::unique_ptr<Feeder> feeder;
};

// A receiver on addr:9998 in a child process of its own, accepting one sender.
class Sink {
  public:
    enum Mode { reads, resets, stalls };
    // `resets`: after `after` it closes with a reset. `stalls`: after `after` it stops reading
    // (with a small receive buffer, so the sender soon has to wait).
    Sink(const std::string& address, Mode mode, std::chrono::milliseconds after);
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    bool accepted(std::chrono::milliseconds timeout); // a sender connected and sent a packet
    void kill();                                      // SIGKILL
  private:
    int pid_ = -1;
    int ready_ = -1; // the child writes one byte here once a packet has arrived
};

// A sender to addr:9998 in a child process: connects, writes `bytes` in random pieces of 1 to
// 400 bytes, one piece every `every`, then keeps the connection open until killed.
class Upstream {
  public:
    Upstream(const std::string& address, const Bytes& bytes, unsigned seed,
             std::chrono::milliseconds every);
    ~Upstream();
    Upstream(const Upstream&) = delete;
    Upstream& operator=(const Upstream&) = delete;
    void kill(); // SIGKILL, wherever it is in its bytes
  private:
    int pid_ = -1;
};

// An address that never answers a connect: a listening socket whose accept queue is full.
class BlackHole {
  public:
    explicit BlackHole(const std::string& address);
    ~BlackHole();
    BlackHole(const BlackHole&) = delete;
    BlackHole& operator=(const BlackHole&) = delete;

  private:
    std::vector<int> fds_;
};

// One run of a gateway program (a GET with QUERY_STRING `query`) against the server of `e`.
std::unique_ptr<Process> gatewayrun(const std::string& prog, const server::Env& e,
                                    const std::string& query);

// Samples the bytes a listener has received every 10 ms and keeps the longest time without
// any new byte.
class GapWatch {
  public:
    explicit GapWatch(const FakeListener& l);
    ~GapWatch();
    std::chrono::milliseconds longest() const { return std::chrono::milliseconds(longest_.load()); }
    void restart() { longest_ = 0; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<long> longest_{0};
    std::thread thread_;
};

// Open descriptors and resident memory (kB) of process `pid`.
int descriptors(int pid);
long rsskb(int pid);

} // namespace kpxtest::faults
