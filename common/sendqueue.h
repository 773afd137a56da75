// What a peer's socket has not taken yet. The distribution step never waits for one peer:
// a packet that does not fit into the socket's send buffer is kept here, whole and in order,
// and written on the next pass. The queue is bounded, and it notices a peer that takes nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

namespace kpx {

// Writes as much of `data` as `sock` takes without waiting; `done` gets the bytes written.
// False when the connection is closed or broken.
bool writesome(int sock, const unsigned char* data, std::size_t len, std::size_t& done);

class SendQueue {
  public:
    // Packets held at most (the partly written one included): about 10 s of stream.
    static constexpr std::size_t MAXPACKETS = 50;

    enum class State {
        ok,      // everything taken, or the rest is held for the next pass
        failed,  // the connection is closed or broken
        full,    // MAXPACKETS are held already and the new packet does not fit
        stalled, // bytes have been held for the limit and the socket took none of them
    };

    // Writes what is held and then `packet` to `sock`, each only as far as the socket takes
    // without waiting; what it does not take is held, in order. `limitms` is how long held
    // bytes may wait with no byte taken.
    State send(int sock, const unsigned char* packet, std::size_t len, int limitms);

    // Writes what is held, as send does, without a new packet.
    State flush(int sock, int limitms);

    bool empty() const { return held_.empty(); }
    std::size_t packets() const { return held_.size(); }
    std::size_t bytes() const;

    // Milliseconds until held bytes reach `limitms` without progress (0 when they have);
    // `limitms` when nothing is held.
    int msleft(int limitms) const;

  private:
    using Clock = std::chrono::steady_clock;
    std::vector<std::vector<unsigned char>> held_; // oldest first; the first may be partly sent
    std::size_t offset_ = 0;                       // bytes of held_.front() already sent
    Clock::time_point since_{};                    // the last byte taken while bytes were held
};

} // namespace kpx
