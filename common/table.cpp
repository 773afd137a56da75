#include "table.h"

#include "console.h"
#include "platform.h"
#include "reports.h"
#include "status.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace kpx {

namespace {

// The address to connect to: the resolver's first IPv4 address for `hostname`, else the
// dotted-decimal reading of it (all ones for text that is neither, and the connect fails).
in_addr resolve(const std::string& hostname) {
    in_addr a{};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(hostname.c_str(), nullptr, &hints, &res) == 0 && res != nullptr) {
        a = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
        ::freeaddrinfo(res);
        return a;
    }
    a.s_addr = ::inet_addr(hostname.c_str());
    return a;
}

// Connects with a time limit: the socket is made non-blocking for the attempt, waited on for
// at most CONNECTLIMITMS and put back to blocking mode. Returns 0 or an errno value
// (ETIMEDOUT when the limit ran out).
int connectwithin(int sock, const sockaddr_in& sa) {
    const int flags = ::fcntl(sock, F_GETFL);
    if (flags >= 0) ::fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (::connect(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(CONNECTLIMITMS);
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now()).count();
                if (left <= 0) {
                    err = ETIMEDOUT;
                    break;
                }
                pollfd p{sock, POLLOUT, 0};
                const int r = ::poll(&p, 1, static_cast<int>(left));
                if (r < 0 && errno == EINTR) continue;
                if (r < 0) {
                    err = errno;
                } else if (r == 0) {
                    err = ETIMEDOUT;
                } else {
                    socklen_t len = sizeof err;
                    if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
                }
                break;
            }
        }
    }
    if (flags >= 0) ::fcntl(sock, F_SETFL, flags);
    return err;
}

} // namespace

bool sendall(int sock, const unsigned char* data, std::size_t len, int limitms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitms);
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::send(sock, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd p{sock, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
    return true;
}

void distribute(const unsigned char* packet, std::size_t len) {
    int i = 0;
    while (i < g.clientcount) {
        if (sendall(g.machine[static_cast<std::size_t>(i)].sock, packet, len, SENDLIMITMS))
            ++i;
        else
            killsock(i);
    }
}

std::uint32_t packetsbetween(quad start, quad count) {
    const quad d = count - start;
    if (!(d > 0)) return 0;
    if (d >= static_cast<quad>(4294967295.0)) return 4294967295U;
    return static_cast<std::uint32_t>(d);
}

int open_sock(int sock, const std::string& hostname, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr = resolve(hostname);

    const int err = connectwithin(sock, sa);
    if (err != 0) {
        errno = err;
        std::perror("connect()");
        handleerror(MSG_CANNOTCONNECT, hostname);
        ::close(sock);
        return -4;
    }
    std::fprintf(stderr, "Connected to [%s:%d] (client %ld).\n", hostname.c_str(), port,
                 static_cast<long>(g.clientcount));
    handlesuccess(hostname);
    ++g.clientcount;
    return 0;
}

int conn(const std::string& request, int type) {
    // At most NAMECHARS characters, without the line end.
    std::string name = request.substr(0, NAMECHARS);
    if (!name.empty() && name.back() == '\n') name.pop_back();

    std::fprintf(stderr, "%s is requesting connection.\n", name.c_str());

    // The name becomes part of report file names: refuse it before any file or network work.
    if (!acceptablename(name)) {
        prnrefusedname(name);
        return 0;
    }

    if (g.clientcount >= g.maxclients || g.clientcount >= MAXPEERS) {
        std::fputs("Maximum number of connections reached.\n", stderr);
        if (g.distcount <= 0) {
            handleerror(g.profile->fullmessage, name);
            std::fprintf(stderr, "No broadcasters are connected to forward to. Consider raising "
                                 "'maxclients' (now %ld) in the configuration file.\n",
                         static_cast<long>(g.maxclients));
            return 0;
        }
        if (g.bnum > g.distcount - 1 || g.bnum < 0) g.bnum = 0;
        const distrec& d = g.distributor[static_cast<std::size_t>(g.bnum)];
        const std::string url = type == 1 ? d.bcasturl : d.clienturl;
        std::fprintf(stderr, "Forwarding the request to %s\n", url.c_str());
        handleforwarding(url, name);
        g.bnum = g.bnum < g.distcount - 1 ? g.bnum + 1 : 0;
        return 0;
    }

    const auto slot = static_cast<std::size_t>(g.clientcount);
    machinerec& rec = g.machine[slot];
    rec = machinerec{};
    rec.name = name;

    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0) {
        std::perror("socket()");
        handleerror(MSG_NOSOCKET, name);
        rec = machinerec{};
        return 0;
    }
    rec.sock = sock;
    if (open_sock(sock, name, PEERPORT) < 0) {
        std::fputs("Connection NOT established.\n", stderr);
        rec = machinerec{};
        return 0;
    }
    machinerec& added = g.machine[static_cast<std::size_t>(g.clientcount - 1)];
    added.startpacket = g.packetcount + 1;
    added.bcast = type;
    added.since = sys.clock();
    statuschanged();
    return 1;
}

void killsock(int index) { killsock(index, index); }

void killsock(int index, long shownindex) {
    if (index < 0 || index >= g.clientcount) return;
    machinerec& rec = g.machine[static_cast<std::size_t>(index)];
    const std::uint32_t packets = packetsbetween(rec.startpacket, g.packetcount);
    if (rec.sock >= 0) ::close(rec.sock);
    rec.sock = -1;

    g.now = sys.clock();
    prntime(g.now);
    const std::uint32_t bytes = 330U * packets;
    const std::uint32_t secs = packets / 5U;
    std::fprintf(stderr, "Client %s died (#%ld). It had received %lu bytes (=%lu sec.).\n",
                 rec.name.c_str(), shownindex, static_cast<unsigned long>(bytes),
                 static_cast<unsigned long>(secs));

    if (rec.bcast == 1) {
        int found = -1;
        for (int d = 0; d < g.distcount; ++d) {
            const distrec& entry = g.distributor[static_cast<std::size_t>(d)];
            if (entry.clientname == rec.name) {
                found = d;
                break;
            }
            std::fprintf(stderr, "distributor[%ld].clientname=%s\n", static_cast<long>(d),
                         entry.clientname.c_str());
        }
        std::fputs("Client was a broadcaster. Removing it from the automatic distribution list.\n",
                   stderr);
        if (found >= 0) {
            const auto last = static_cast<std::size_t>(g.distcount - 1);
            g.distributor[static_cast<std::size_t>(found)] = g.distributor[last];
            g.distributor[last] = distrec{};
            --g.distcount;
        }
        std::fprintf(stderr, "Actual number of distributers now: %ld\n",
                     static_cast<long>(g.distcount));
    }

    const auto last = static_cast<std::size_t>(g.clientcount - 1);
    if (static_cast<std::size_t>(index) != last) rec = g.machine[last];
    g.machine[last] = machinerec{};
    --g.clientcount;
    std::fprintf(stderr, "Actual number of connections now: %ld\n", static_cast<long>(g.clientcount));
    prnline();
    statuschanged();
}

} // namespace kpx
