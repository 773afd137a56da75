#include "sendqueue.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>

namespace kpx {

bool writesome(int sock, const unsigned char* data, std::size_t len, std::size_t& done) {
    done = 0;
    while (done < len) {
        const ssize_t n = ::send(sock, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

std::size_t SendQueue::bytes() const {
    std::size_t n = 0;
    for (const auto& p : held_)
        n += p.size();
    return n - offset_;
}

int SendQueue::msleft(int limitms) const {
    if (held_.empty()) return limitms;
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since_).count();
    return static_cast<int>(std::clamp<long long>(limitms - waited, 0, limitms));
}

SendQueue::State SendQueue::flush(int sock, int limitms) {
    bool taken = false;
    bool broken = false;
    while (!held_.empty()) {
        std::vector<unsigned char>& first = held_.front();
        std::size_t done = 0;
        broken = !writesome(sock, first.data() + offset_, first.size() - offset_, done);
        offset_ += done;
        taken = taken || done > 0;
        if (offset_ < first.size()) break;
        held_.erase(held_.begin());
        offset_ = 0;
    }
    if (held_.empty()) return State::ok;
    if (broken) return State::failed;
    const auto now = Clock::now();
    if (taken) since_ = now;
    if (now - since_ >= std::chrono::milliseconds(limitms)) return State::stalled;
    return State::ok;
}

SendQueue::State SendQueue::send(int sock, const unsigned char* packet, std::size_t len,
                                 int limitms) {
    if (!held_.empty()) {
        const State s = flush(sock, limitms);
        if (s != State::ok) return s;
        if (!held_.empty()) {
            if (held_.size() >= MAXPACKETS) return State::full;
            held_.emplace_back(packet, packet + len);
            return State::ok;
        }
    }
    // The usual case: the socket takes the whole packet at once, and no clock is read.
    std::size_t done = 0;
    if (!writesome(sock, packet, len, done)) return State::failed;
    if (done < len) {
        held_.emplace_back(packet + done, packet + len);
        offset_ = 0;
        since_ = Clock::now();
    }
    return State::ok;
}

} // namespace kpx
