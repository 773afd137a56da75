#include "peeruser.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace kpx {

std::function<PeerOwner(int fd)> peerowner = socketpeerowner;

PeerOwner socketpeerowner(int fd) {
    PeerOwner o;
    sockaddr_in self{}, peer{};
    socklen_t slen = sizeof self, plen = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &slen) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0 ||
        self.sin_family != AF_INET || peer.sin_family != AF_INET)
        return o;
    o.local =
        (ntohl(peer.sin_addr.s_addr) >> 24) == 127 || peer.sin_addr.s_addr == self.sin_addr.s_addr;
    if (!o.local) return o;
    const int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return o;
    const timeval wait{1, 0};
    ::setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    struct {
        nlmsghdr h;
        inet_diag_req_v2 r;
    } req{};
    req.h.nlmsg_len = sizeof req;
    req.h.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    req.h.nlmsg_flags = NLM_F_REQUEST;
    req.h.nlmsg_seq = 1;
    req.r.sdiag_family = AF_INET;
    req.r.sdiag_protocol = IPPROTO_TCP;
    req.r.idiag_states = ~0U;
    // The peer's socket: its own address is our peer, its peer is us.
    req.r.id.idiag_sport = peer.sin_port;
    req.r.id.idiag_dport = self.sin_port;
    req.r.id.idiag_src[0] = peer.sin_addr.s_addr;
    req.r.id.idiag_dst[0] = self.sin_addr.s_addr;
    req.r.id.idiag_cookie[0] = req.r.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) unsigned char buf[8192];
    long n = -1;
    if (::sendto(nl, &req, sizeof req, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof req))
        n = ::recv(nl, buf, sizeof buf, 0);
    ::close(nl);
    int left = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf); n > 0 && NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            break;
        inet_diag_msg m;
        std::memcpy(&m, NLMSG_DATA(h), sizeof m);
        if (m.id.idiag_sport == peer.sin_port && m.id.idiag_dport == self.sin_port &&
            m.id.idiag_src[0] == peer.sin_addr.s_addr) {
            o.uid = m.idiag_uid;
            break;
        }
    }
    return o;
}

bool peeruserallowed(const PeerOwner& owner, uid_t wanted) {
    if (!owner.local) return true;
    return owner.uid.has_value() && *owner.uid == wanted;
}

} // namespace kpx
