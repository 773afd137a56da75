// Who runs the program at the other end of a TCP connection made on this machine: a sender
// on loopback comes from 127.0.0.1 whichever local user started it, so its address alone
// cannot tell the server from another user's program. Linux's sock_diag names the owner of
// the peer socket.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>

namespace kpx {

// What is known of the peer of an accepted IPv4 TCP socket.
struct PeerOwner {
    bool local = false;       // the peer's address is this machine's (loopback or ours)
    std::optional<uid_t> uid; // the user owning the peer socket, when the kernel said
};

// The lookup in use; tests may replace it. The real one asks sock_diag (NETLINK_SOCK_DIAG)
// for the socket whose address pair is the peer's side of `fd`.
extern std::function<PeerOwner(int fd)> peerowner;
PeerOwner socketpeerowner(int fd);

// Whether a sender may feed us when only user `wanted` may: a local sender must be known to
// be that user's (an unknown owner is refused); one from another host is not checked here.
bool peeruserallowed(const PeerOwner& owner, uid_t wanted);

} // namespace kpx
