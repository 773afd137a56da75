// The peer table `machine`, the distribution list `distributor` and the routines that
// connect a peer (`conn`, `open_sock`) and remove one (`killsock`).
#pragma once

#include "globals.h"
#include "wire.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kpx {

inline constexpr int SENDLIMITMS = 10000;      // a peer that takes no byte this long is dropped
inline constexpr int PEERSNDBUF = 16384;       // send buffer of a peer's socket (Linux doubles it)
inline constexpr long NOLISTENERPAUSEMS = 100; // a paced pass with nobody listening
inline constexpr int PEERMAXSEG = 1400;        // segment size towards a peer (small window steps)
inline constexpr int PACEAHEADMS = 3000; // a paced pass waits at most this far ahead of real time

inline constexpr int CONNPENDING = 2;  // conn / connprogress: the request is still under way
inline constexpr int FIRSTWAITMS = 50; // conn waits this long for a quick answer

// Takes one connection request (a host name or dotted address, possibly ending in a
// newline). `type` 0: a listener, 1: a relay broadcaster. A full table forwards or refuses it
// at once. Otherwise the name lookup and the connect start and run between packets
// (g.pending); conn waits FIRSTWAITMS for them. Returns 1 when the peer was connected and
// entered into `machine`, 0 when it was not (forwarded, refused or failed), CONNPENDING while
// the request is still under way: connprogress then finishes it.
// A relay's `clienturl` and `bcasturl` go on the distribution list once it is connected (one
// entry per address; a request for an address already connected keeps its connection and
// only renews that entry).
// `requester` is the address a gateway gives for the visitor who asked ("-" when unknown);
// empty for the operator. A relay's registration from a gateway must have its pages on the
// relay's own host unless 'relayurls' is set, and changes a listed relay's pages only as
// 'relayurls' and the relay's own address allow.
int conn(const std::string& name, int type, const std::string& clienturl = {},
         const std::string& bcasturl = {}, const std::string& requester = {});

// Moves the pending request on, waiting at most `waitms`. Once the lookup and the connect have
// succeeded or failed (or 'connectlimit' seconds, 1..60, after the request began), it is reported
// and entered as conn would, and 1 or 0 is returned; CONNPENDING before that, 0 when nothing is
// pending.
int connprogress(int waitms = 0);

// Reports the outcome of the connect of `sock` to hostname:port: `err` 0 gives the success
// report and one more client (returns 0); otherwise the error report, and the socket is
// closed (returns -4).
int open_sock(int sock, const std::string& hostname, int port, int err);

// Closes the peer in slot `index`, prints its statistics and lets the last peer take the
// slot. Indexes outside 0..clientcount-1 are ignored.
void killsock(int index);

// The same, printing `shownindex` as the peer's number (the stop command numbers the peers
// by the slots they held when it began).
void killsock(int index, long shownindex);

// Writes all `len` bytes of `data` to `sock` within `limitms` milliseconds, however many send
// calls that takes. True when every byte went out.
bool sendall(int sock, const unsigned char* data, std::size_t len, int limitms);

// Gives a peer's socket, before its connect, the small send buffer and segment size that keep
// what the kernel holds for the peer at a few seconds of stream: flow control then paces
// playback, and a peer that stops reading is noticed within SENDLIMITMS once its buffers are full.
void setpeerbuffers(int sock);

// Sends one packet to every peer in `machine`, each only as far as its socket takes without
// waiting: what a peer has not taken is held in its queue (`out`) and written first on the next
// pass, so every peer gets whole packets in order. A peer that is closed or broken, whose queue
// is full, or that has taken no byte for SENDLIMITMS is removed through killsock, and the peer
// moved into its slot still gets this packet. A live server never waits here. A server in
// playback mode and a relay wait until every peer has taken the packet, but only while they
// are ahead of real time: every packet handed out earns 200 ms of waiting, at most
// PACEAHEADMS are saved up, and what a pass waits is spent. A peer much slower than real time
// thus paces the others only briefly; then its queue fills and it is dropped. A relay that
// nobody listens to pauses NOLISTENERPAUSEMS instead, as a server in playback mode does: it
// takes its upstream at twice real time, so a server in playback mode above it does not encode
// as fast as it can for nobody.
void distribute(const unsigned char* packet, std::size_t len);

// Packets a peer received: `count` - `start` of the packet counter, as the statistics count them:
// truncated towards zero, never below 0 and never beyond the unsigned 32-bit range.
std::uint32_t packetsbetween(quad start, quad count);

} // namespace kpx
