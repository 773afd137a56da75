#include "table.h"

#include "console.h"
#include "guard.h"
#include "hooks.h"
#include "reports.h"
#include "sendqueue.h"
#include "statusfile.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kpx {

// The name lookup of a request, run on a thread of its own so that an unanswered resolver
// never holds the stream. Abandoned lookups finish in the background and are then dropped.
struct Lookup {
    std::mutex mu;
    bool done = false;
    bool found = false;
    std::uint32_t addr = 0; // network byte order
    bool pagesok = false;   // every address of every page host is `addr`
};

namespace {

// True when `host` names `addr` only: it is that address, or each address it resolves to (of
// any family) is that address, so a browser following the page can reach no other host.
bool onlyat(const std::string& host, std::uint32_t addr) {
    if (host.empty()) return false;
    in_addr a{};
    if (::inet_aton(host.c_str(), &a) != 0) return a.s_addr == addr;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
    bool only = true;
    for (const addrinfo* r = res; r != nullptr && only; r = r->ai_next) {
        std::array<char, INET6_ADDRSTRLEN> text{};
        const void* where =
            r->ai_family == AF_INET
                ? static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in*>(r->ai_addr)->sin_addr)
                : static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in6*>(r->ai_addr)->sin6_addr);
        only = (r->ai_family == AF_INET || r->ai_family == AF_INET6) &&
               ::inet_ntop(r->ai_family, where, text.data(), text.size()) != nullptr &&
               isaddress(text.data(), addr);
    }
    ::freeaddrinfo(res);
    return only;
}

// Looks up `name` (unless `known`, its address, is given) and then, where `pages` are given,
// the hosts of those pages.
std::shared_ptr<Lookup> startlookup(const std::string& name, const std::uint32_t* known = nullptr,
                                    std::vector<std::string> pages = {}) {
    auto lk = std::make_shared<Lookup>();
    const bool given = known != nullptr;
    const std::uint32_t knownaddr = given ? *known : 0;
    try {
        std::thread([lk, name, given, knownaddr, pages] {
            bool ok = given;
            std::uint32_t a = knownaddr;
            if (!given) {
                addrinfo hints{};
                hints.ai_family = AF_INET;
                hints.ai_socktype = SOCK_STREAM;
                addrinfo* res = nullptr;
                ok = ::getaddrinfo(name.c_str(), nullptr, &hints, &res) == 0 && res != nullptr;
                if (ok) a = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
                if (res != nullptr) ::freeaddrinfo(res);
            }
            bool pagesok = true;
            if (!ok) a = ::inet_addr(name.c_str());
            for (const std::string& url : pages)
                pagesok = pagesok && onlyat(urlhost(url), a);
            const std::lock_guard<std::mutex> hold(lk->mu);
            lk->found = ok;
            lk->addr = a;
            lk->pagesok = pagesok;
            lk->done = true;
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the lookup counts as failed.
        lk->done = true;
    }
    return lk;
}

// The dotted-decimal reading of `name` (any form inet_aton takes, so "0177.0.0.1" is
// 127.0.0.1); such names never go to the resolver.
bool dotted(const std::string& name, std::uint32_t& addr) {
    in_addr a{};
    if (::inet_aton(name.c_str(), &a) == 0) return false;
    addr = a.s_addr;
    return true;
}

// The slot of the peer connected to `addr`, or -1.
int peerat(std::uint32_t addr) {
    for (int i = 0; i < g.clientcount; ++i)
        if (g.machine[static_cast<std::size_t>(i)].addr == addr) return i;
    return -1;
}

// Starts the non-blocking connect of the pending request to `addr`. A host that is already
// connected keeps its connection: the request is answered as a success and takes no second
// slot (no receiver can use two streams, and one host must not be able to fill every slot or
// have another host's stream dropped). A relay that the operator has not admitted is refused.
void startconnect(std::uint32_t addr) {
    Pending& p = g.pending;
    p.addr = addr;
    p.resolved = true;
    p.error = 0;
    if (p.type == 1 && !relayhostallowed(addr)) {
        p.error = EACCES;
        return;
    }
    if (peerat(addr) >= 0) {
        p.connected = true;
        p.already = true;
        return;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(STREAMPORT));
    sa.sin_addr.s_addr = addr;
    if (::connect(p.sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0)
        p.connected = true;
    else if (errno != EINPROGRESS)
        p.error = errno;
}

// Puts the relay connected at `addr` on the distribution list. One address holds one entry:
// a second registration replaces the pages of the first.
void enlist(std::uint32_t addr, const std::string& curl, const std::string& burl) {
    const int slot = peerat(addr);
    if (slot < 0) return;
    machinerec& m = g.machine[static_cast<std::size_t>(slot)];
    int found = -1;
    for (int d = 0; d < g.distcount; ++d)
        if (g.distributor[static_cast<std::size_t>(d)].clientname == m.name) found = d;
    if (found < 0 && (g.distcount < 0 || g.distcount >= MAXPEERS)) return;
    if (found < 0) found = g.distcount++;
    m.bcast = 1;
    distrec& d = g.distributor[static_cast<std::size_t>(found)];
    d.clientname = m.name.substr(0, NAMECHARS);
    d.clienturl = curl.substr(0, URLCHARS);
    d.bcasturl = burl.substr(0, URLCHARS);
    std::fputs("Adding the following broadcaster to the automatic distribution list:\n", stderr);
    std::fprintf(stderr, "Hostname/IP-address: %s \n", d.clientname.c_str());
    std::fprintf(stderr, "Clients are forwarded to: %s \n", d.clienturl.c_str());
    std::fprintf(stderr, "Broadcasters are forwarded to: %s \n", d.bcasturl.c_str());
    statuschanged();
}

// Whether a request for a relay that is connected already may set its pages: always when the
// pages stay as listed, or when the operator asks; from a gateway only when 'relayurls' is set
// (and admitted them) and the request comes from the relay's own address.
bool mayrelist(const Pending& p) {
    const int slot = peerat(p.addr);
    if (slot < 0 || p.requester.empty()) return true;
    const machinerec& m = g.machine[static_cast<std::size_t>(slot)];
    for (int d = 0; d < g.distcount; ++d) {
        const distrec& r = g.distributor[static_cast<std::size_t>(d)];
        if (r.clientname != m.name) continue;
        if (r.clienturl == p.clienturl.substr(0, URLCHARS) &&
            r.bcasturl == p.bcasturl.substr(0, URLCHARS))
            return true;
        return !g.guard.relayurls.empty() && isaddress(p.requester, p.addr);
    }
    return true; // not listed yet
}

// Moves the pending request on, waiting at most `waitms`. True once it has an outcome
// (`connected`, or `error` set).
bool advance(int waitms) {
    Pending& p = g.pending;
    const auto now = std::chrono::steady_clock::now();
    if (!p.resolved) {
        bool done = false, found = false, pagesok = false;
        std::uint32_t a = 0;
        {
            const std::lock_guard<std::mutex> hold(p.lookup->mu);
            done = p.lookup->done;
            found = p.lookup->found;
            a = p.lookup->addr;
            pagesok = p.lookup->pagesok;
        }
        if (!done) {
            if (now >= p.deadline) p.error = ETIMEDOUT;
            return p.error != 0;
        }
        p.lookup.reset();
        if (p.checkpages && !pagesok) {
            // Pages elsewhere than on the relay's own host: nothing is connected.
            p.addr = found ? a : ::inet_addr(p.name.c_str());
            p.resolved = true;
            p.error = EXDEV;
            return true;
        }
        // A name the resolver does not know is read as a dotted address (all ones when it is
        // not one either), and the connect fails.
        startconnect(found ? a : ::inet_addr(p.name.c_str()));
    }
    if (p.connected || p.error != 0) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(p.deadline - now).count();
    pollfd q{p.sock, POLLOUT, 0};
    const int r =
        ::poll(&q, 1, static_cast<int>(std::max<long long>(0, std::min<long long>(waitms, left))));
    if (r > 0) {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(p.sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err == 0)
            p.connected = true;
        else
            p.error = err;
    } else if (r < 0 && errno != EINTR) {
        p.error = errno;
    } else if (std::chrono::steady_clock::now() >= p.deadline) {
        p.error = ETIMEDOUT;
    }
    return p.connected || p.error != 0;
}

} // namespace

bool sendall(int sock, const unsigned char* data, std::size_t len, int limitms) {
    // The clock is read only once a send has to wait: the usual packet goes out in one call.
    std::chrono::steady_clock::time_point end{};
    bool waited = false;
    while (len > 0) {
        std::size_t done = 0;
        if (!writesome(sock, data, len, done)) return false;
        data += done;
        len -= done;
        if (len == 0) break;
        if (!waited) {
            end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitms);
            waited = true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        pollfd p{sock, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
    return true;
}

namespace {

// Whether a pass waits for its peers after the packet has been handed out. A live server never
// does: its input must be read on time, and one peer must not hold the others. In playback mode
// the listeners set the pace by design, and a relay passes its listeners' pace on to a server in
// playback mode above it: both wait until every peer has taken the whole packet, while they are
// ahead of real time (see `credit`).
bool paced() {
    return g.profile->role == Role::relay || g.live != 1;
}

// Milliseconds of waiting for peers that the passes have saved up: 200 ms per packet handed out,
// at most PACEAHEADMS, less what the waits took. A peer that keeps up with real time costs none
// of it in the long run; one that does not is waited for only until it is spent, and from then
// on the others get the stream at real time while its queue fills.
long credit = 0;
constexpr long PACKETMS = 200; // one packet of stream

// Waits until every peer has taken what it holds, at most until `end`. Every peer is waited
// for at most SENDLIMITMS without a byte taken; then it is removed.
void waitforroom(std::chrono::steady_clock::time_point end) {
    std::array<pollfd, MAXPEERS> fds{};
    for (;;) {
        std::size_t n = 0;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        int timeout = static_cast<int>(std::clamp<long long>(left, 0, SENDLIMITMS));
        for (int i = 0; i < g.clientcount; ++i) {
            const machinerec& m = g.machine[static_cast<std::size_t>(i)];
            if (m.out.empty()) continue;
            fds[n++] = pollfd{m.sock, POLLOUT, 0};
            timeout = std::min(timeout, m.out.msleft(SENDLIMITMS));
        }
        if (n == 0 || left <= 0) return;
        ::poll(fds.data(), n, timeout);
        int i = 0;
        while (i < g.clientcount) {
            machinerec& m = g.machine[static_cast<std::size_t>(i)];
            if (m.out.empty() || m.out.flush(m.sock, SENDLIMITMS) == SendQueue::State::ok)
                ++i;
            else
                killsock(i);
        }
    }
}

} // namespace

void setpeerbuffers(int sock) {
    const int sndbuf = PEERSNDBUF;
    ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    const int maxseg = PEERMAXSEG;
    ::setsockopt(sock, IPPROTO_TCP, TCP_MAXSEG, &maxseg, sizeof maxseg);
}

void distribute(const unsigned char* packet, std::size_t len) {
    if (g.clientcount == 0) {
        if (paced()) hooks.pause(NOLISTENERPAUSEMS);
        return;
    }
    int i = 0;
    while (i < g.clientcount) {
        machinerec& m = g.machine[static_cast<std::size_t>(i)];
        if (m.out.send(m.sock, packet, len, SENDLIMITMS) == SendQueue::State::ok)
            ++i;
        else
            killsock(i);
    }
    if (!paced()) return;
    credit = std::min<long>(credit + PACKETMS, PACEAHEADMS);
    const auto start = std::chrono::steady_clock::now();
    waitforroom(start + std::chrono::milliseconds(credit));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    credit = std::max<long>(0, credit - static_cast<long>(waited));
}

std::uint32_t packetsbetween(quad start, quad count) {
    const quad d = count - start;
    if (!(d > 0)) return 0;
    if (d >= static_cast<quad>(4294967295.0)) return 4294967295U;
    return static_cast<std::uint32_t>(d);
}

int open_sock(int sock, const std::string& hostname, int port, int err) {
    if (err != 0) {
        errno = err;
        std::perror("connect()");
        handleerror(MSG_CANNOTCONNECT, hostname);
        ::close(sock);
        return -4;
    }
    const int flags = ::fcntl(sock, F_GETFL);
    if (flags >= 0) ::fcntl(sock, F_SETFL, flags & ~O_NONBLOCK);
    std::fprintf(stderr, "Connected to [%s:%d] (client %ld).\n", hostname.c_str(), port,
                 static_cast<long>(g.clientcount));
    handlesuccess(hostname);
    ++g.clientcount;
    return 0;
}

int conn(const std::string& request, int type, const std::string& clienturl,
         const std::string& bcasturl, const std::string& requester) {
    // At most NAMECHARS characters, without the line end.
    std::string name = request.substr(0, NAMECHARS);
    if (!name.empty() && name.back() == '\n') name.pop_back();

    std::fprintf(stderr, "%s is requesting connection.\n", name.c_str());

    // The name becomes part of report file names: refuse it before any file or network work.
    if (!acceptablename(name)) {
        prnrefusedname(name);
        return 0;
    }

    std::uint32_t addr = 0;
    const bool isdotted = dotted(name, addr);
    const bool known = isdotted && peerat(addr) >= 0;
    if (!known && (g.clientcount >= g.maxclients || g.clientcount >= MAXPEERS)) {
        std::fputs("Maximum number of connections reached.\n", stderr);
        if (g.distcount <= 0) {
            handleerror(g.profile->fullmessage, name);
            std::fprintf(stderr,
                         "No broadcasters are connected to forward to. Consider raising "
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

    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (sock < 0) {
        std::perror("socket()");
        handleerror(MSG_NOSOCKET, name);
        return 0;
    }
    setpeerbuffers(sock);

    // The lookup and the connect run between packets; the stream goes on meanwhile.
    g.pending = Pending{};
    g.pending.active = true;
    g.pending.name = name;
    g.pending.type = type;
    g.pending.clienturl = clienturl;
    g.pending.bcasturl = bcasturl;
    g.pending.requester = requester;
    g.pending.checkpages = type == 1 && !requester.empty() && g.guard.relayurls.empty();
    g.pending.sock = sock;
    g.pending.deadline = std::chrono::steady_clock::now() +
                         std::chrono::seconds(std::clamp(g.guard.connectlimit, 1L, 60L));
    if (g.pending.checkpages)
        g.pending.lookup = startlookup(name, isdotted ? &addr : nullptr, {clienturl, bcasturl});
    else if (isdotted)
        startconnect(addr);
    else
        g.pending.lookup = startlookup(name);
    return connprogress(FIRSTWAITMS);
}

int connprogress(int waitms) {
    Pending& p = g.pending;
    if (!p.active) return 0;
    if (!advance(waitms)) return CONNPENDING;

    const Pending done = std::move(p);
    g.pending = Pending{};
    // A registration refused: why, then the error report.
    const auto refuse = [&done](const std::string& why) {
        ::close(done.sock);
        std::fputs(why.c_str(), stderr);
        std::fputs("Rejecting broadcaster connect.\n", stderr);
        handleerror(MSG_NOBCONNECT, done.name);
        return 0;
    };
    if (done.type == 1 && done.error == EACCES)
        return refuse(done.name + " is not among the admitted relays ('relayhosts').\n");
    if (done.type == 1 && done.error == EXDEV)
        return refuse("The broadcaster's pages are not on its own host " + done.name +
                      " (name other sites in 'relayurls').\n");
    if (done.already && done.type == 1 && !mayrelist(done))
        return refuse(done.name +
                      " is listed already. Its pages are changed only from its own address "
                      "with 'relayurls' set, or by the operator.\n");
    if (done.already) {
        ::close(done.sock);
        std::fprintf(stderr, "%s is connected already (client %ld). Its connection stays.\n",
                     done.name.c_str(), static_cast<long>(peerat(done.addr)));
        handlesuccess(done.name);
        if (done.type == 1) enlist(done.addr, done.clienturl, done.bcasturl);
        return 1;
    }
    if (open_sock(done.sock, done.name, STREAMPORT, done.connected ? 0 : done.error) < 0) {
        std::fputs("Connection NOT established.\n", stderr);
        return 0;
    }
    machinerec& added = g.machine[static_cast<std::size_t>(g.clientcount - 1)];
    added = machinerec{};
    added.sock = done.sock;
    added.name = done.name;
    added.addr = done.addr;
    added.startpacket = g.packetcount + 1;
    added.bcast = done.type;
    added.since = hooks.clock();
    if (done.type == 1) enlist(done.addr, done.clienturl, done.bcasturl);
    statuschanged();
    return 1;
}

void killsock(int index) {
    killsock(index, index);
}

void killsock(int index, long shownindex) {
    if (index < 0 || index >= g.clientcount) return;
    machinerec& rec = g.machine[static_cast<std::size_t>(index)];
    const std::uint32_t packets = packetsbetween(rec.startpacket, g.packetcount);
    if (rec.sock >= 0) ::close(rec.sock);
    rec.sock = -1;

    g.now = hooks.clock();
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
    if (static_cast<std::size_t>(index) != last) rec = std::move(g.machine[last]);
    g.machine[last] = machinerec{};
    --g.clientcount;
    std::fprintf(stderr, "Actual number of connections now: %ld\n",
                 static_cast<long>(g.clientcount));
    prnline();
    statuschanged();
}

} // namespace kpx
