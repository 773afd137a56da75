#include "receiver.h"

#include "hooks.h"
#include "peeruser.h"
#include "stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace kpx {

Listener lsn;

namespace {

inline constexpr long RENEWPAUSEMS = 100;
inline constexpr int IDLEPOLLMS = 1000;
inline constexpr int LIVEEDGEPACKETS = 3;  // a new upstream's queued packets kept at most
inline constexpr int DRAINSETTLEMS = 50;   // a backlog is drained until it stays this quiet
inline constexpr int DRAINLIMITMS = 2000;  // and for no longer than this
inline constexpr int DRAINLOOKMS = 5;      // between looks at a quiet backlog
inline constexpr int DRAINRCVBUF = 262144; // the receive buffer while a backlog is drained
// A sender in playback mode keeps up with any reader: what is dropped of its start is bounded
// (a minute of stream, more than a server queues for a peer).
inline constexpr long MAXSTALEPACKETS = 300;

void say(const AcceptTexts& t, const char* text) {
    std::fputs(text, t.out);
    std::fflush(t.out);
}

// A sender from an address that the guard does not allow, or another local user's, is closed
// at once.
bool turnedaway(int conn, const AcceptGuard* guard, const sockaddr_in& from) {
    if (guard == nullptr) return false;
    const char* why = nullptr;
    if (guard->allowed && !guard->allowed(from.sin_addr.s_addr)) {
        why = "not in the upstream allow list";
    } else if (guard->user >= 0) {
        const PeerOwner owner = peerowner(conn);
        if (!peeruserallowed(owner, static_cast<uid_t>(guard->user)))
            why =
                owner.uid ? "another local user's program" : "its owner on this machine is unknown";
    }
    if (why == nullptr) return false;
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    std::fprintf(stderr, "Sender %s refused: %s.\n", text, why);
    ::close(conn);
    return true;
}

} // namespace

int acceptnow(int sock, const AcceptGuard& guard, bool& refused) {
    refused = false;
    pollfd p{sock, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return -1;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const int conn =
        ::accept4(sock, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (conn < 0) return -1;
    if (turnedaway(conn, &guard, from)) {
        refused = true;
        return -1;
    }
    // The stream is read with blocking reads and the idle limits of linkreader.
    const int flags = ::fcntl(conn, F_GETFL);
    if (flags >= 0) ::fcntl(conn, F_SETFL, flags & ~O_NONBLOCK);
    setkeepalive(conn);
    return conn;
}

void takewaiting(int sock, const AcceptGuard& guard, int& waiting) {
    for (;;) {
        bool refused = false;
        const int fd = acceptnow(sock, guard, refused);
        if (fd < 0 && !refused) return;
        if (fd < 0) continue;
        if (waiting >= 0) ::close(waiting);
        waiting = fd;
        std::fputs("Another upstream is waiting to take over.\n", stderr);
    }
}

ReadFn drainbacklog(int upstream, ReadFn rd, std::vector<unsigned char>& recent) {
    // What is queued is read; when the receive buffer was found full, the sender may hold more
    // behind it, which its kernel sends only as the buffer is emptied: then the backlog is read
    // for as long as it comes (a quiet spell of DRAINSETTLEMS at a packet's end ends it),
    // whatever the buffer holds at once. The last few whole packets read, and a begun one,
    // are kept.
    recent.clear();
    int first = 0;
    // No more than the live edge queued: a fresh upstream, read as it comes.
    if (::ioctl(upstream, FIONREAD, &first) != 0 || first / PACKETBYTES <= LIVEEDGEPACKETS)
        return rd;
    std::vector<unsigned char> kept;
    std::vector<unsigned char> scratch(static_cast<std::size_t>(PACKETBYTES) * 64);
    std::size_t total = 0; // bytes read
    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    if (::getsockopt(upstream, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len) != 0) rcvbuf = 0;
    // A small receive buffer opens its window again only once much of it is free: for the
    // drain the buffer is made large, and then put back.
    const int large = DRAINRCVBUF;
    ::setsockopt(upstream, SOL_SOCKET, SO_RCVBUF, &large, sizeof large);
    bool full = false; // the buffer was full once: read on by time
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(DRAINLIMITMS);
    auto quietsince = start;
    while (std::chrono::steady_clock::now() < end &&
           total < static_cast<std::size_t>(MAXSTALEPACKETS) * PACKETBYTES) {
        int queued = 0;
        if (::ioctl(upstream, FIONREAD, &queued) != 0) break;
        // The kernel reports twice the size asked for; half of it is the data it holds.
        if (queued >= rcvbuf / 2) full = true;
        if (queued <= 0) {
            const bool settled = std::chrono::steady_clock::now() - quietsince >=
                                 std::chrono::milliseconds(DRAINSETTLEMS);
            if (total % PACKETBYTES == 0 && (!full || settled)) break;
            hooks.pause(DRAINLOOKMS);
            continue;
        }
        const std::size_t want = std::min(scratch.size(), static_cast<std::size_t>(queued));
        const ssize_t n = ::recv(upstream, scratch.data(), want, MSG_DONTWAIT);
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
        kept.insert(kept.end(), scratch.begin(), scratch.begin() + n);
        const std::size_t keep =
            static_cast<std::size_t>(LIVEEDGEPACKETS) * PACKETBYTES + total % PACKETBYTES;
        if (kept.size() > keep) kept.erase(kept.begin(), kept.end() - static_cast<long>(keep));
        quietsince = std::chrono::steady_clock::now();
    }
    if (rcvbuf > 0) {
        const int again = rcvbuf / 2; // the kernel reports twice what was asked for
        ::setsockopt(upstream, SOL_SOCKET, SO_RCVBUF, &again, sizeof again);
    }
    const long dropped = static_cast<long>((total - kept.size()) / PACKETBYTES);
    if (dropped > 0)
        std::fprintf(stderr, "Dropped %ld stale packets that the new upstream had queued.\n",
                     dropped);
    // The begun packet is read on through the reader, the whole ones are the caller's.
    const std::size_t begun = total % PACKETBYTES;
    recent.assign(kept.begin(), kept.end() - static_cast<long>(begun));
    if (begun == 0) return rd;
    auto rest = std::make_shared<std::vector<unsigned char>>(kept.end() - static_cast<long>(begun),
                                                             kept.end());
    auto at = std::make_shared<std::size_t>(0);
    return [rest, at, rd](unsigned char* dst, std::size_t want) -> long {
        if (*at >= rest->size()) return rd(dst, want);
        const std::size_t n = std::min(want, rest->size() - *at);
        std::memcpy(dst, rest->data() + *at, n);
        *at += n;
        return static_cast<long>(n);
    };
}

int makelistensocket() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        const int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const int rcvbuf = RECEIVERRCVBUF;
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    }
    return s;
}

void setkeepalive(int fd) {
    const int on = 1;
    const int idle = KEEPIDLESEC;
    const int intvl = KEEPINTVLSEC;
    const int count = KEEPCOUNT;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

int acc_sock(int sock, const char* address, int port, const AcceptTexts& texts,
             const AcceptGuard* guard) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = ::inet_addr(address);

    if (lsn.init == 0) {
        const hostent* h = ::gethostbyname(address);
        if (h != nullptr && h->h_addrtype == AF_INET && h->h_addr_list != nullptr &&
            h->h_addr_list[0] != nullptr) {
            const std::size_t n = static_cast<std::size_t>(h->h_length) < sizeof sa.sin_addr
                                      ? static_cast<std::size_t>(h->h_length)
                                      : sizeof sa.sin_addr;
            std::memcpy(&sa.sin_addr, h->h_addr_list[0], n);
        }
        if (::bind(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
            std::perror("bind()");
            if (texts.bindhint != nullptr) say(texts, texts.bindhint);
            leave(1);
        }
    }
    lsn.init = 1;

    say(texts, texts.waiting);
    if (::listen(sock, LISTENBACKLOG) < 0) {
        std::perror("listen()");
        ::close(sock);
        return -4;
    }
    int conn;
    for (;;) {
        if (guard != nullptr && guard->idle) {
            // The program's own work goes on about once a second while nobody connects.
            pollfd p{sock, POLLIN, 0};
            const int r = ::poll(&p, 1, IDLEPOLLMS);
            if (r == 0 || (r < 0 && errno == EINTR)) {
                guard->idle();
                continue;
            }
        }
        sockaddr_in from{};
        socklen_t len = sizeof from;
        conn = ::accept4(sock, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
        if (conn < 0 && errno == EINTR) continue;
        if (conn >= 0 && turnedaway(conn, guard, from)) continue;
        break;
    }
    if (conn < 0) {
        std::perror("accept()");
        ::close(sock);
        return -1;
    }
    setkeepalive(conn);
    say(texts, "Connection established.\n");
    return conn;
}

void prnupstreamlost() {
    std::fputs("***********************************\n"
               "** Connection to server lost!!!  **\n"
               "***********************************\n"
               "\n"
               "**********************************\n"
               "** Connection to server lost!!! **\n"
               "** ~~~~~~~~~~~~~~~~~~~~~~~~~~~~ **\n"
               "** All clients disconnected!!!! **\n"
               "** Please connect again!!!      **\n"
               "**********************************\n",
               stderr);
}

void renewlistener() {
    lsn.sk = makelistensocket();
    if (lsn.sk < 0) {
        std::perror("socket()");
        leave(255);
    }
    lsn.init = 0;
    hooks.pause(RENEWPAUSEMS);
}

} // namespace kpx
