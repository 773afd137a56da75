// What the web relay tests share: connections from a chosen loopback address and a stand-in
// upstream that feeds the relay's port 9998 with stream packets.
#pragma once

#include "serverenv.h"
#include "testsupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kpxtest::webrelay {

using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

// A connection to addr:port, from the address `from` when it is given; -1 when it fails.
inline int connectfrom(const std::string& from, const std::string& addr, int port, int rcvbuf = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in src{}, sa{};
    src.sin_family = sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, from.c_str(), &src.sin_addr);
    ::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
    if ((!from.empty() && ::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A stand-in upstream: sends `packets` in a loop, one per 200 ms, until stopped.
class Upstream {
  public:
    // `count` > 0: that many packets, then nothing with the link kept open.
    Upstream(const std::string& addr, const std::vector<Bytes>& packets,
             const std::string& from = "", std::size_t count = 0) {
        fd_ = from.empty() ? kpxtest::connectto(addr, 9998, 5s) : connectfrom(from, addr, 9998);
        t_ = std::thread([this, packets, count] {
            for (std::size_t k = 0; !stop_ && fd_ >= 0 && (count == 0 || k < count); ++k) {
                if (!kpxtest::sendall(fd_, packets[k % packets.size()].data(),
                                      packets[k % packets.size()].size()))
                    break;
                std::this_thread::sleep_for(200ms);
            }
        });
    }
    ~Upstream() {
        stop_ = true;
        t_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // True when the relay closed the link within `limit`.
    bool closedwithin(std::chrono::milliseconds limit) const {
        pollfd p{fd_, POLLIN, 0};
        char c;
        return ::poll(&p, 1, static_cast<int>(limit.count())) > 0 &&
               ::recv(fd_, &c, 1, MSG_DONTWAIT) <= 0;
    }

  private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread t_;
};

// Ten packets of noise, what the stand-in upstream usually sends.
inline std::vector<Bytes> noisepackets() {
    std::vector<Bytes> p;
    for (unsigned s = 0; s < 10; ++s)
        p.push_back(kpxtest::server::encoded(kpxtest::server::ulawchunk(s)));
    return p;
}

} // namespace kpxtest::webrelay
