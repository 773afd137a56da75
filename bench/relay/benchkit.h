// What the relay benchmark, the relay tree and the soak share: a programme of distinct
// packets, a pool of receivers on many loopback addresses in one thread that checks every
// packet and stamps its arrival, a paced FIFO feeder for a live server, and readings of
// another process from /proc.
//
// Time stamps are CLOCK_REALTIME nanoseconds throughout: the kernel stamps received
// segments with the same clock (SO_TIMESTAMPNS), so a sender's stamp and a receiver's stamp
// can be subtracted.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kpxbench {

using Bytes = std::vector<unsigned char>;
constexpr std::size_t PACKET = 330;
constexpr std::size_t CHUNK = 1600;

std::int64_t realnow(); // CLOCK_REALTIME in ns

// `count` different 1600-byte u-law chunks and their 330-byte encodings, each packet
// findable by its content.
class Programme {
  public:
    explicit Programme(int count);
    int size() const { return static_cast<int>(packets_.size()); }
    const Bytes& chunk(int k) const { return chunks_[static_cast<std::size_t>(k)]; }
    const Bytes& packet(int k) const { return packets_[static_cast<std::size_t>(k)]; }
    int find(const unsigned char* p) const; // index of the packet with these 330 bytes, or -1
  private:
    std::vector<Bytes> chunks_, packets_;
    std::unordered_multimap<std::uint64_t, int> index_;
};

// What one receiver has seen.
struct Heard {
    int connections = 0; // senders accepted so far
    int first = -1;      // programme index of the first packet
    int last = -1;       // and of the latest one
    int packets = 0;     // complete packets, all of them programme packets in order
    std::string problem; // the first thing that was wrong: a foreign packet, a gap, a torn end
};

// Receivers on addr:9998 (as many as wanted), each accepting one sender at a time, served by
// one thread with epoll. Every 330 bytes received must be the next programme packet; the
// kernel's receive time of each packet's first byte is kept per programme index.
class ListenerPool {
  public:
    ListenerPool(const Programme& prog, const std::vector<std::string>& addresses);
    ~ListenerPool();
    ListenerPool(const ListenerPool&) = delete;
    ListenerPool& operator=(const ListenerPool&) = delete;

    int size() const { return static_cast<int>(ears_.size()); }
    const std::string& address(int i) const { return ears_[static_cast<std::size_t>(i)].addr; }
    Heard heard(int i) const;
    // Arrival stamp of programme packet k at receiver i; 0 when it did not arrive.
    std::int64_t arrival(int i, int k) const;
    // Closes receiver i's connection, as a listener that goes away; it accepts again.
    void drop(int i);
    // From now on the pool's thread runs only on CPU time nobody else wants (SCHED_IDLE).
    // The receivers stand for listeners on other hosts: on one machine their reading must not
    // hold up the programs measured, and it moves no stamp (the kernel stamps a segment when
    // the sender hands it to the loopback device). 0, or the error number.
    int background();
    std::int64_t cpuns() const; // CPU time of the pool's thread (schedstat), ns; -1 unknown

  private:
    struct Ear {
        std::string addr;
        int lsock = -1, conn = -1;
        Bytes part = Bytes(PACKET);
        std::size_t have = 0;
        std::int64_t stamp = 0;
        Heard h;
        std::vector<std::int64_t> arrival;
    };
    void run();
    void readfrom(Ear& e, int i);
    void closeconn(Ear& e, int i);
    void complete(Ear& e);

    const Programme& prog_;
    std::vector<Ear> ears_;
    int ep_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> tid_{0};
    mutable std::mutex mu_;
    std::thread thread_;
};

// Writes programme chunk after chunk into a FIFO at real pace (one every 200 ms), as a sound
// device delivers them, and keeps the time of each write. The FIFO is held open for reading
// and writing, so the server reading it never sees an end.
class Feeder {
  public:
    Feeder(const Programme& prog, const std::string& fifo);
    ~Feeder();
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;
    bool ok() const { return fd_ >= 0; }
    void start();
    void stop();
    int fed() const { return fed_.load(std::memory_order_acquire); } // chunks written
    std::int64_t fedat(int k) const { return at_[static_cast<std::size_t>(k)]; }
    bool exhausted() const { return exhausted_; }

  private:
    const Programme& prog_;
    int fd_ = -1;
    std::vector<std::int64_t> at_;
    std::atomic<int> fed_{0};
    std::atomic<bool> stop_{false}, exhausted_{false};
    std::thread thread_;
};

// Readings of a running process.
std::int64_t cpuns(int pid);                     // CPU time of all its threads (schedstat), ns
long statuskib(int pid, const std::string& key); // "VmHWM", "VmRSS": KiB, -1 if unreadable
int fdcount(int pid);                            // open descriptors, -1 if unreadable

struct Spread {
    std::size_t n = 0;
    double median = 0, p99 = 0, max = 0;
};
Spread spread(std::vector<double> v);

// "RESULT <name> <value> <unit>", the line the benchmark runner reads.
void result(const std::string& name, double value, const std::string& unit);

} // namespace kpxbench
